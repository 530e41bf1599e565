// Path queries in ElementTree's path language (child, *, ., //, .., and the
// predicates on attributes, texts, children and positions), compiled once
// per call into a small program that one pre-order walk runs (run.hpp).
//
// The program only ever moves down the tree: nodes have no parent pointer,
// so `..` is compiled away. The parent of a place reached by a child step is
// the place the walk stands on when that child is tested, so `X/a[p]/..`
// becomes `X[a[p]]`, a test of X's children made where the walk is; a
// descendant step before `..` becomes descendant-or-self with that test.
// What is left is a set of branches, each a chain of steps; a place is a
// match when any branch reaches its end there, so every match comes once,
// in document order, straight from the walk.
//
// Names are compared as written, prefixes included; every string in a
// program views the path text it was compiled from.
#pragma once
#include <emmintrin.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/base/core_error.hpp"
#include "core/tree/node.hpp"

namespace arbolite {

enum class NameMatch : std::uint8_t {
    Any,     // *
    Exact,   // the name as written
    Prefix,  // p:*, any name that starts with "p:"
};

struct NameTest {
    NameMatch match = NameMatch::Any;
    std::string_view text;  // Exact: the name; Prefix: "p:"
    // A text of up to 16 bytes is also kept here, so that it is compared
    // with one vector load of each side (a node's name may be read past
    // its end, kReadSlack).
    alignas(16) char head[16] = {};

    static NameTest of(NameMatch match, std::string_view text) noexcept {
        NameTest t{match, text};
        if (!text.empty() && text.size() <= sizeof t.head) std::memcpy(t.head, text.data(), text.size());
        return t;
    }

    bool operator()(const Node* n) const noexcept {
        if (match == NameMatch::Any) return true;
        std::uint64_t len;
        const char* bytes = get_varint(name_field_of(n), len);
        if (match == NameMatch::Exact ? len != text.size() : len < text.size()) return false;
        const std::size_t k = text.size();
        if (k <= sizeof head) {
            const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes));
            const __m128i b = _mm_load_si128(reinterpret_cast<const __m128i*>(head));
            const unsigned same = static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(a, b)));
            const unsigned want = k == 16 ? 0xFFFFu : (1u << k) - 1;
            return (same & want) == want;
        }
        return std::memcmp(bytes, text.data(), k) == 0;
    }
};

enum class TestKind : std::uint8_t {
    HasAttr,   // [@key]
    AttrEq,    // [@key='value']
    AttrNe,    // [@key!='value']: the attribute is there, with another value
    TextEq,    // [.='value'] on the node's text; no text compares as ""
    TextNe,    // [.!='value']
    Position,  // [n]: index n-1 among the siblings of its name
    FromEnd,   // [last()-k]: index k+1 from the end among them (1: the last)
    Child,     // a child passing a ChildClause: [tag], [tag='text'], and what `..` leaves
};

struct PathTest {
    TestKind kind = TestKind::HasAttr;
    std::string_view key;
    std::string_view value;
    std::uint64_t index = 0;   // Position (from 0), FromEnd (from 1); saturates
    std::uint32_t clause = 0;  // Child
};

// A child with a name that passes every test of clause_tests[first, first+count).
struct ChildClause {
    NameTest name;
    std::uint32_t first = 0;
    std::uint32_t count = 0;
    bool positions = false;  // some of its tests need the children's positions
};

enum class OpKind : std::uint8_t {
    Child,             // to each child passing `name`
    Descendant,        // to each proper descendant passing `name`
    DescendantOrSelf,  // to this place and every descendant
    Test,              // stays here if tests[test] holds
    Accept,            // the end of a branch: a match
};

struct PathOp {
    OpKind kind = OpKind::Accept;
    NameTest name;
    std::uint32_t test = 0;
};

struct PathProgram {
    // The branches one after another, each ending in Accept. State i of a
    // place means "op i is next here"; each op leads to state i + 1.
    std::vector<PathOp> ops;
    std::vector<std::uint32_t> starts;  // the first state of each branch
    std::vector<PathTest> tests;
    std::vector<ChildClause> clauses;
    std::vector<std::uint32_t> clause_tests;
    // What a prefix map has to agree with: each prefix the path's names use
    // (once each), and whether some element name has none.
    std::vector<std::string_view> prefixes;
    bool unprefixed_elements = false;
};

// A path refused is a CoreError of kind Path (PathSyntax, or PathTooComplex
// for a program far larger than its path, kPathOpsPerByte), about bytes
// [offset, end) of the path.

// `..` after descendant steps can multiply branches; a program larger than
// both of these (ops, tests and clause entries, per byte of path and in all)
// is refused rather than built until memory runs out.
inline constexpr std::size_t kPathOpsPerByte = 64;
inline constexpr std::size_t kMaxPathOps = std::size_t{1} << 16;

// The program of `path`, whose text must outlive it. Error messages are
// ElementTree's where it raises SyntaxError for the same path.
std::variant<PathProgram, CoreError> compile_path(std::string_view path);

// The name of a path that is one plain child name, ElementTree's fast case
// (its program is that child step alone), or nothing.
std::optional<NameTest> plain_child_name(std::string_view path) noexcept;

}  // namespace arbolite
