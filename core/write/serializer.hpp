// The XML serializer: writes a tree of nodes straight from the nodes. Two
// layouts. The indented one: each tag that follows a tag starts a new line,
// indented by `indent` spaces per level; text stays on its start tag's line;
// no final line break. The compact one: no white space but the tree's own,
// the declaration (when asked) followed directly by the root. In both,
// elements with neither children nor text are self-closing.
//
// It reads nodes only, so it runs without the interpreter lock while the
// caller's reference keeps the (immutable) tree alive.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "core/base/core_error.hpp"
#include "core/tree/node.hpp"
#include "core/write/sink.hpp"

namespace arbolite {

// 38 characters and a LF.
inline constexpr std::string_view kXmlDeclaration = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n";
static_assert(kXmlDeclaration.size() == 39);

enum class EscapeSet {
    Text,       // & < > " '
    Attribute,  // those and TAB, LF, CR
};

// The declaration when asked, then the tree. False after an I/O failure (the
// sink holds it); a FileSink still needs its flush() afterwards.
bool write_document(FileSink& sink, Node* root, std::uint64_t indent, bool declaration);
// The same in the compact layout.
bool write_compact(FileSink& sink, Node* root, bool declaration);


// Appends `s` with every character of `set` replaced by its reference.
void escape_into(MemorySink& sink, std::string_view s, EscapeSet set);

// What the layout of a tree costs, independent of the indent width.
struct LayoutMeasure {
    std::uint64_t max_indented_level = 0;  // deepest level a line break indents to
    std::uint64_t indented_lines = 0;      // line breaks, each one LF
    std::uint64_t level_sum = 0;           // sum of their levels (saturating)
    std::uint64_t max_other_bytes = 0;     // bound on all bytes but indentation (saturating)
};
LayoutMeasure measure_layout(Node* root);

// Output refused before it is written is a CoreError of kind Output: its
// message names the indent value, or the bytes needed.

// Fewer bytes than any writing of the tree takes: each node's tags and their
// contents unescaped, without line breaks. Weighed per distinct node, so a
// tree whose shared nodes make it enormous is measured at once.
std::uint64_t least_output_bytes(const Node* root);

// Refuses a tree whose output exceeds `max_output_bytes` whatever the indent.
std::optional<CoreError> check_size(const Node* root, std::uint64_t max_output_bytes);

inline constexpr std::uint64_t kMaxOutputBytes = PTRDIFF_MAX;

// Rejects an indent whose indentation cannot be represented or held, before
// anything is written. Ordinary indents on any tree pass.
std::optional<CoreError> check_indent(Node* root, std::uint64_t indent, bool declaration,
                                        std::uint64_t max_output_bytes = kMaxOutputBytes);

// The same into memory. The indent is checked as check_indent() does, but
// only once the indentation written passes `unchecked_indentation` bytes, and
// the size as check_size() does once the output passes `unchecked_output`: an
// ordinary document is written in one pass and never measured.
std::optional<CoreError> write_document(MemorySink& sink, Node* root, std::uint64_t indent, bool declaration,
                                          std::uint64_t max_output_bytes,
                                          std::uint64_t unchecked_indentation = std::uint64_t{16} << 20,
                                          std::uint64_t unchecked_output = std::uint64_t{64} << 20);

// The compact layout into memory; the size is checked as write_document does.
std::optional<CoreError> write_compact(MemorySink& sink, Node* root, bool declaration, std::uint64_t max_output_bytes,
                                         std::uint64_t unchecked_output = std::uint64_t{64} << 20);

}  // namespace arbolite
