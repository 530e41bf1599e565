#include "core/write/serializer.hpp"

#include <emmintrin.h>

#include <array>
#include <limits>

#include "core/tree/walk.hpp"

namespace arbolite {
namespace {

constexpr std::string_view kReferences[] = {
    {}, "&amp;", "&lt;", "&gt;", "&quot;", "&apos;", "&#9;", "&#13;", "&#10;",
};

// Byte → index into kReferences, 0 for bytes written as they are.
using EscapeTable = std::array<unsigned char, 256>;

constexpr EscapeTable make_table(bool attribute) {
    EscapeTable t{};
    t['&'] = 1;
    t['<'] = 2;
    t['>'] = 3;
    t['"'] = 4;
    t['\''] = 5;
    if (attribute) {
        t['\t'] = 6;
        t['\r'] = 7;
        t['\n'] = 8;
    }
    return t;
}

constexpr EscapeTable kTextTable = make_table(false);
constexpr EscapeTable kAttributeTable = make_table(true);

// The first byte at or after i that needs a reference, or n. Sixteen bytes at
// a time: most values and texts hold none.
template <bool Attribute>
std::size_t next_escape(const char* p, std::size_t i, std::size_t n) noexcept {
    const EscapeTable& table = Attribute ? kAttributeTable : kTextTable;
    for (; i + 16 <= n; i += 16) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        // '"' 0x22, '&' 0x26, '\'' 0x27, '<' 0x3C, '>' 0x3E; TAB, LF, CR are below 0x0E.
        __m128i m = _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('"')), _mm_cmpeq_epi8(v, _mm_set1_epi8('&')));
        m = _mm_or_si128(m, _mm_cmpeq_epi8(v, _mm_set1_epi8('\'')));
        m = _mm_or_si128(m, _mm_cmpeq_epi8(v, _mm_set1_epi8('<')));
        m = _mm_or_si128(m, _mm_cmpeq_epi8(v, _mm_set1_epi8('>')));
        if (Attribute) {
            // Unsigned v <= 0x0D; the table sorts out the control bytes that need nothing.
            m = _mm_or_si128(m, _mm_cmpeq_epi8(_mm_min_epu8(v, _mm_set1_epi8(0x0D)), v));
        }
        unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(m));
        while (mask) {
            const std::size_t at = i + static_cast<std::size_t>(__builtin_ctz(mask));
            if (table[static_cast<unsigned char>(p[at])]) return at;
            mask &= mask - 1;
        }
    }
    for (; i < n; ++i) {
        if (table[static_cast<unsigned char>(p[i])]) return i;
    }
    return n;
}

template <bool Attribute, class Sink>
bool escape(Sink& sink, std::string_view s) {
    const EscapeTable& table = Attribute ? kAttributeTable : kTextTable;
    const char* p = s.data();
    const std::size_t n = s.size();
    std::size_t run = 0;
    for (std::size_t i = next_escape<Attribute>(p, 0, n); i < n; i = next_escape<Attribute>(p, i + 1, n)) {
        if (i > run && !sink.append(p + run, i - run)) return false;
        if (!sink.append(kReferences[table[static_cast<unsigned char>(p[i])]])) return false;
        run = i + 1;
    }
    return n <= run || sink.append(p + run, n - run);
}

// A LF followed by spaces, so a line break and its indentation usually cost
// one append.
constexpr std::size_t kSpaceRun = 4096;
struct BreakBlock {
    char bytes[kSpaceRun + 1];
    constexpr BreakBlock() : bytes() {
        bytes[0] = '\n';
        for (std::size_t i = 1; i <= kSpaceRun; ++i) bytes[i] = ' ';
    }
};
constexpr BreakBlock kBreak{};

template <class Sink>
bool append_spaces(Sink& sink, std::uint64_t n) {
    while (n != 0) {
        const std::size_t chunk = n < kSpaceRun ? static_cast<std::size_t>(n) : kSpaceRun;
        if (!sink.append(kBreak.bytes + 1, chunk)) return false;
        n -= chunk;
    }
    return true;
}

template <class Sink>
class Writer {
public:
    Writer(Sink& sink, std::uint64_t indent) noexcept : sink_(sink), indent_(indent) {}

    Walk enter(Node* n, std::size_t depth) {
        if (newline_pending_ && !line_break(depth)) return Walk::Stop;
        newline_pending_ = true;
        const std::string_view name = node_name(n);
        if (!sink_.append("<", 1) || !sink_.append(name)) return Walk::Stop;
        for (const Attr a : node_attrs(n)) {
            if (!sink_.append(" ", 1) || !sink_.append(a.key) || !sink_.append("=\"", 2) ||
                !escape<true>(sink_, a.value) || !sink_.append("\"", 1)) {
                return Walk::Stop;
            }
        }
        if (n->child_count == 0 && !n->text) return sink_.append("/>", 2) ? Walk::Over : Walk::Stop;
        if (!sink_.append(">", 1)) return Walk::Stop;
        if (const auto text = node_text(n)) {
            if (!escape<false>(sink_, *text)) return Walk::Stop;
            newline_pending_ = false;
        }
        return Walk::Into;
    }

    void leave(Node* n, std::size_t depth) {
        if (failed_) return;
        if (newline_pending_ && !line_break(depth)) {
            failed_ = true;
            return;
        }
        newline_pending_ = true;
        if (!sink_.append("</", 2) || !sink_.append(node_name(n)) || !sink_.append(">", 1)) failed_ = true;
    }

    bool failed() const noexcept { return failed_; }

private:
    bool line_break(std::uint64_t level) {
        std::uint64_t total;
        if (__builtin_mul_overflow(indent_, level, &total)) {
            // More than 2^64 spaces: only reachable when check_indent was
            // skipped, and then the sink gives out long before this finishes.
            if (!sink_.append(kBreak.bytes, 1)) return false;
            for (std::uint64_t l = 0; l < level; ++l) {
                if (!append_spaces(sink_, indent_)) return false;
            }
            return true;
        }
        const std::size_t first = total < kSpaceRun ? static_cast<std::size_t>(total) : kSpaceRun;
        return sink_.append(kBreak.bytes, first + 1) && append_spaces(sink_, total - first);
    }

    Sink& sink_;
    std::uint64_t indent_;
    bool newline_pending_ = false;
    bool failed_ = false;
};

template <class Sink>
bool write_tree(Sink& sink, Node* root, std::uint64_t indent, bool declaration) {
    if (declaration && !sink.append(kXmlDeclaration)) return false;
    Writer<Sink> writer(sink, indent);
    // A failed leave() makes the next enter() (or the end) see the failure.
    struct Guarded {
        Writer<Sink>& w;
        Walk enter(Node* n, std::size_t depth) { return w.failed() ? Walk::Stop : w.enter(n, depth); }
        void leave(Node* n, std::size_t depth) { w.leave(n, depth); }
    } guarded{writer};
    return walk_preorder(root, guarded) && !writer.failed();
}

std::uint64_t sat_add(std::uint64_t a, std::uint64_t b) {
    std::uint64_t r;
    return __builtin_add_overflow(a, b, &r) ? std::numeric_limits<std::uint64_t>::max() : r;
}

std::uint64_t sat_mul(std::uint64_t a, std::uint64_t b) {
    std::uint64_t r;
    return __builtin_mul_overflow(a, b, &r) ? std::numeric_limits<std::uint64_t>::max() : r;
}

// Longest reference over the byte it replaces.
constexpr std::uint64_t kMaxExpansion = 6;

// Every byte of a node's own tags, with values and text fully expanded.
std::uint64_t max_tag_bytes(const Node* n) {
    const std::uint64_t name = node_name(n).size();
    std::uint64_t bytes = 1 + name;  // <name
    for (const Attr a : node_attrs(n)) {
        bytes = sat_add(bytes, 1 + a.key.size() + 2 + 1);  // ␠key=""
        bytes = sat_add(bytes, sat_mul(a.value.size(), kMaxExpansion));
    }
    if (n->child_count == 0 && !n->text) return sat_add(bytes, 2);  // />
    bytes = sat_add(bytes, 1 + 2 + name + 1);                         // > </name>
    if (const auto text = node_text(n)) bytes = sat_add(bytes, sat_mul(text->size(), kMaxExpansion));
    return bytes;
}

}  // namespace

bool write_document(MemorySink& sink, Node* root, std::uint64_t indent, bool declaration) {
    return write_tree(sink, root, indent, declaration);
}

bool write_document(FileSink& sink, Node* root, std::uint64_t indent, bool declaration) {
    return write_tree(sink, root, indent, declaration);
}

void escape_into(MemorySink& sink, std::string_view s, EscapeSet set) {
    if (set == EscapeSet::Attribute) {
        escape<true>(sink, s);
    } else {
        escape<false>(sink, s);
    }
}

LayoutMeasure measure_layout(Node* root) {
    // The line-break rule the writer follows: a start tag breaks unless it is
    // the root's or directly follows its parent's text; an end tag breaks when
    // the element has children.
    struct Measure {
        LayoutMeasure m;
        // Per open level: whether the next child is its parent's first.
        std::vector<const Node*> parents;
        std::vector<bool> first;
        void line_at(std::uint64_t level) {
            ++m.indented_lines;
            m.level_sum = sat_add(m.level_sum, level);
            if (level > m.max_indented_level) m.max_indented_level = level;
        }
        Walk enter(Node* n, std::size_t depth) {
            bool breaks = false;
            if (depth > 0) {
                const bool is_first = first.back();
                first.back() = false;
                breaks = !(is_first && parents.back()->text);
            }
            if (breaks) line_at(depth);
            m.max_other_bytes = sat_add(m.max_other_bytes, max_tag_bytes(n));
            if (n->child_count == 0) return Walk::Over;
            line_at(depth);  // its end tag
            parents.push_back(n);
            first.push_back(true);
            return Walk::Into;
        }
        void leave(Node*, std::size_t) {
            parents.pop_back();
            first.pop_back();
        }
    } measure;
    walk_preorder(root, measure);
    return measure.m;
}

std::optional<IndentError> check_indent(Node* root, std::uint64_t indent, bool declaration,
                                        std::uint64_t max_output_bytes) {
    if (indent == 0) return std::nullopt;
    const LayoutMeasure m = measure_layout(root);
    std::uint64_t deepest;
    if (__builtin_mul_overflow(indent, m.max_indented_level, &deepest)) {
        return IndentError{IndentErrorKind::Overflow, "indent " + std::to_string(indent) + " at nesting level " +
                                                          std::to_string(m.max_indented_level) +
                                                          " overflows a 64-bit size"};
    }
    std::uint64_t spaces;
    const bool spaces_overflow = __builtin_mul_overflow(indent, m.level_sum, &spaces);
    std::uint64_t total = declaration ? kXmlDeclaration.size() : 0;
    total = sat_add(total, m.indented_lines);
    total = sat_add(total, m.max_other_bytes);
    total = spaces_overflow ? std::numeric_limits<std::uint64_t>::max() : sat_add(total, spaces);
    // The indentation alone is weighed against what can be held: the bound on
    // the other bytes is a worst case, and must not refuse a large document
    // that would fit. Only the whole output is weighed against what a size
    // can represent.
    if (!spaces_overflow && spaces <= max_output_bytes && total <= kMaxOutputBytes) return std::nullopt;
    const std::string needed = spaces_overflow
                                   ? "more than " + std::to_string(std::numeric_limits<std::uint64_t>::max())
                                   : std::to_string(spaces);
    return IndentError{IndentErrorKind::Memory, "indent " + std::to_string(indent) + " needs " + needed +
                                                    " bytes of indentation; the output would exceed " +
                                                    std::to_string(max_output_bytes) + " bytes"};
}

}  // namespace arbolite
