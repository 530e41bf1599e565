#include "core/write/serializer.hpp"

#include <emmintrin.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>

#include "core/tree/places.hpp"
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


template <class Sink>
class Writer {
public:
    Writer(Sink& sink, std::uint64_t indent, bool pretty) noexcept : sink_(sink), indent_(indent), pretty_(pretty) {}

    Walk enter(Node* n, std::size_t depth) {
        if (newline_pending_ && !line_break(depth)) return Walk::Stop;
        newline_pending_ = pretty_;
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
        newline_pending_ = pretty_;
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
    bool pretty_;  // false: a line break is never due
    bool newline_pending_ = false;
    bool failed_ = false;
};

std::string_view declaration_for(bool pretty) {
    return pretty ? kXmlDeclaration : kXmlDeclaration.substr(0, kXmlDeclaration.size() - 1);
}

template <class Sink>
bool write_tree(Sink& sink, Node* root, std::uint64_t indent, bool declaration, bool pretty) {
    if (declaration && !sink.append(declaration_for(pretty))) return false;
    Writer<Sink> writer(sink, indent, pretty);
    // A failed leave() makes the next enter() (or the end) see the failure.
    struct Guarded {
        Writer<Sink>& w;
        Walk enter(Node* n, std::size_t depth) { return w.failed() ? Walk::Stop : w.enter(n, depth); }
        void leave(Node* n, std::size_t depth) { w.leave(n, depth); }
    } guarded{writer};
    return walk_preorder(root, guarded) && !writer.failed();
}


// References padded to eight bytes, so one store writes any of them.
struct PaddedReference {
    char bytes[8];
    unsigned char length;
};
constexpr PaddedReference kPadded[] = {
    {{}, 0}, {"&amp;", 5}, {"&lt;", 4}, {"&gt;", 4}, {"&quot;", 6}, {"&apos;", 6}, {"&#9;", 4}, {"&#13;", 5}, {"&#10;", 5},
};

// Bytes of a 16-byte block that may need a reference (a superset: control
// bytes below 0x0E in attribute values are sorted out by the table).
template <bool Attribute>
inline unsigned special_mask(__m128i v) noexcept {
    __m128i m = _mm_or_si128(_mm_cmpeq_epi8(v, _mm_set1_epi8('"')), _mm_cmpeq_epi8(v, _mm_set1_epi8('&')));
    m = _mm_or_si128(m, _mm_cmpeq_epi8(v, _mm_set1_epi8('\'')));
    m = _mm_or_si128(m, _mm_cmpeq_epi8(v, _mm_set1_epi8('<')));
    m = _mm_or_si128(m, _mm_cmpeq_epi8(v, _mm_set1_epi8('>')));
    if (Attribute) m = _mm_or_si128(m, _mm_cmpeq_epi8(_mm_min_epu8(v, _mm_set1_epi8(0x0D)), v));
    return static_cast<unsigned>(_mm_movemask_epi8(m));
}

inline __m128i load16(const char* p) noexcept { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
inline void store16(char* o, __m128i v) noexcept { _mm_storeu_si128(reinterpret_cast<__m128i*>(o), v); }

// Escapes a node string into room that has 16 bytes to spare; the string
// may be read 16 bytes past its end (node strings guarantee that).
template <bool Attribute>
char* escape_raw(char* o, std::string_view s) noexcept {
    const EscapeTable& table = Attribute ? kAttributeTable : kTextTable;
    const char* p = s.data();
    const std::size_t n = s.size();
    std::size_t i = 0;
    while (i < n) {
        const __m128i v = load16(p + i);
        const std::size_t left = n - i;
        unsigned m = special_mask<Attribute>(v);
        if (left < 16) m &= (1u << left) - 1;
        store16(o, v);
        if (!m) {
            const std::size_t step = left < 16 ? left : 16;
            o += step;
            i += step;
            continue;
        }
        const std::size_t k = static_cast<std::size_t>(__builtin_ctz(m));
        o += k;
        i += k;
        const unsigned char ref = table[static_cast<unsigned char>(p[i])];
        if (ref) {
            std::memcpy(o, kPadded[ref].bytes, 8);
            o += kPadded[ref].length;
        } else {
            *o++ = p[i];
        }
        ++i;
    }
    return o;
}

// Copies a node string into room that has 16 bytes to spare.
inline char* put(char* o, std::string_view s) noexcept {
    const char* p = s.data();
    const std::size_t n = s.size();
    for (std::size_t i = 0; i < n; i += 16) store16(o + i, load16(p + i));
    return o + n;
}

// Room for everything enter() writes for a node: every byte of its payload
// may become a 6-byte reference, each attribute adds ' ', '=' and two
// quotes, the name comes twice; plus what the 16-byte stores spill.
inline std::uint64_t tag_bound(const Node* n) noexcept {
    const auto text = node_text(n);
    return 8 * static_cast<std::uint64_t>(n->payload_bytes) + 4 * static_cast<std::uint64_t>(n->attr_count) +
           6 * (text ? text->size() : 0) + 64;
}

// The writer into memory: each tag is written through a raw pointer into room
// reserved for its worst case, instead of one checked append per piece. Tags
// too large for that (huge values or texts) take the piecewise path.
class MemoryWriter {
public:
    MemoryWriter(MemorySink& sink, std::uint64_t indent, bool pretty, std::uint64_t budget, const Node* root,
                 std::uint64_t check_size_at, std::uint64_t max_output) noexcept
        : buf_(sink.buffer()), sink_(sink), indent_(indent), budget_(budget), root_(root),
          check_size_at_(check_size_at), max_output_(max_output), pretty_(pretty) {}

    Walk enter(Node* n, std::size_t depth) {
        if (buf_.size() >= check_size_at_) {
            check_size_at_ = ~std::uint64_t{0};
            if ((refused_ = check_size(root_, max_output_))) {
                stopped_ = true;
                return Walk::Stop;
            }
        }
        std::uint64_t spaces = 0;
        if (newline_pending_ && !account(depth, spaces)) return Walk::Stop;
        newline_pending_ = pretty_;
        const std::uint64_t bound = tag_bound(n);
        const bool leaf = n->child_count == 0 && !n->text;
        if (bound > kRawLimit || spaces > kRawLimit) return generic_enter(n, spaces, leaf);
        char* o = room(bound + 1 + spaces);
        if (newline_pending_before_) o = line_break(o, spaces);
        *o++ = '<';
        o = put(o, node_name(n));
        for (const Attr a : node_attrs(n)) {
            *o++ = ' ';
            o = put(o, a.key);
            *o++ = '=';
            *o++ = '"';
            o = escape_raw<true>(o, a.value);
            *o++ = '"';
        }
        if (leaf) {
            *o++ = '/';
            *o++ = '>';
            done(o);
            return Walk::Over;
        }
        *o++ = '>';
        if (const auto text = node_text(n)) {
            o = escape_raw<false>(o, *text);
            newline_pending_ = false;
        }
        done(o);
        return Walk::Into;
    }

    void leave(Node* n, std::size_t depth) {
        if (stopped_) return;
        std::uint64_t spaces = 0;
        if (newline_pending_ && !account(depth, spaces)) return;
        newline_pending_ = pretty_;
        const std::string_view name = node_name(n);
        if (name.size() + 3 > kRawLimit || spaces > kRawLimit) {
            generic_break(spaces);
            sink_.append("</", 2);
            sink_.append(name);
            sink_.append(">", 1);
            return;
        }
        char* o = room(name.size() + 4 + spaces + 16);
        if (newline_pending_before_) o = line_break(o, spaces);
        *o++ = '<';
        *o++ = '/';
        o = put(o, name);
        *o++ = '>';
        done(o);
    }

    // Whether the indentation passed its budget, or the size was refused
    // (nothing more was written).
    bool stopped() const noexcept { return stopped_; }
    std::optional<CoreError>& refused() noexcept { return refused_; }

private:
    static constexpr std::uint64_t kRawLimit = std::uint64_t{1} << 20;

    // A line break is due at `level`: counts its indentation against the
    // budget. False (and stopped) when the budget would be passed.
    bool account(std::uint64_t level, std::uint64_t& spaces) {
        std::uint64_t total;
        if (__builtin_mul_overflow(indent_, level, &total) || total > budget_ - written_) {
            stopped_ = true;
            return false;
        }
        written_ += total;
        spaces = total;
        newline_pending_before_ = true;
        return true;
    }

    char* room(std::uint64_t bytes) {
        buf_.reserve(buf_.size() + bytes);
        return buf_.data() + buf_.size();
    }
    void done(char* o) {
        buf_.resize(static_cast<std::size_t>(o - buf_.data()));
        newline_pending_before_ = false;
    }
    static char* line_break(char* o, std::uint64_t spaces) {
        *o++ = '\n';
        std::memset(o, ' ', spaces);
        return o + spaces;
    }

    void generic_break(std::uint64_t spaces) {
        if (!newline_pending_before_) return;
        sink_.append(kBreak.bytes, 1);
        append_spaces(sink_, spaces);
        newline_pending_before_ = false;
    }

    Walk generic_enter(Node* n, std::uint64_t spaces, bool leaf) {
        generic_break(spaces);
        sink_.append("<", 1);
        sink_.append(node_name(n));
        for (const Attr a : node_attrs(n)) {
            sink_.append(" ", 1);
            sink_.append(a.key);
            sink_.append("=\"", 2);
            escape<true>(sink_, a.value);
            sink_.append("\"", 1);
        }
        if (leaf) {
            sink_.append("/>", 2);
            return Walk::Over;
        }
        sink_.append(">", 1);
        if (const auto text = node_text(n)) {
            escape<false>(sink_, *text);
            newline_pending_ = false;
        }
        return Walk::Into;
    }

    ByteBuffer& buf_;
    MemorySink& sink_;
    std::uint64_t indent_;
    std::uint64_t budget_;
    const Node* root_;
    std::uint64_t check_size_at_;    // output bytes from which the size is checked
    std::uint64_t max_output_;
    std::optional<CoreError> refused_;
    std::uint64_t written_ = 0;      // indentation written so far
    bool pretty_;                    // false: a line break is never due
    bool newline_pending_ = false;
    bool newline_pending_before_ = false;  // a line break is due before the next tag
    bool stopped_ = false;
};
}  // namespace

namespace {

std::optional<CoreError> write_memory(MemorySink& sink, Node* root, std::uint64_t indent, bool pretty,
                                        bool declaration, std::uint64_t max_output_bytes,
                                        std::uint64_t unchecked_indentation, std::uint64_t unchecked_output) {
    // Past the caller's limit, or the unchecked budget, the check decides.
    std::uint64_t budget = std::min(unchecked_indentation, max_output_bytes);
    std::uint64_t check_size_at = unchecked_output;
    for (;;) {
        sink.buffer().clear();
        if (declaration) sink.append(declaration_for(pretty));
        MemoryWriter writer(sink, indent, pretty, budget, root, check_size_at, max_output_bytes);
        walk_preorder(root, writer);
        if (!writer.stopped()) return std::nullopt;
        if (writer.refused()) return std::move(writer.refused());
        check_size_at = ~std::uint64_t{0};  // checked by check_indent below, if it comes to writing again
        // Indentation beyond the budget: whether the whole document can be
        // held is settled before any more is written; if it can, write it
        // again without a budget.
        if (auto refused = check_indent(root, indent, declaration, max_output_bytes)) return refused;
        budget = ~std::uint64_t{0};
    }
}

}  // namespace

std::optional<CoreError> write_document(MemorySink& sink, Node* root, std::uint64_t indent, bool declaration,
                                          std::uint64_t max_output_bytes, std::uint64_t unchecked_indentation,
                                          std::uint64_t unchecked_output) {
    return write_memory(sink, root, indent, true, declaration, max_output_bytes, unchecked_indentation,
                        unchecked_output);
}

std::optional<CoreError> write_compact(MemorySink& sink, Node* root, bool declaration,
                                         std::uint64_t max_output_bytes, std::uint64_t unchecked_output) {
    // No line break is ever due, so no indentation is ever weighed.
    return write_memory(sink, root, 0, false, declaration, max_output_bytes, ~std::uint64_t{0}, unchecked_output);
}

bool write_document(FileSink& sink, Node* root, std::uint64_t indent, bool declaration) {
    return write_tree(sink, root, indent, declaration, true);
}

bool write_compact(FileSink& sink, Node* root, bool declaration) { return write_tree(sink, root, 0, declaration, false); }

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

std::uint64_t least_output_bytes(const Node* root) {
    return weigh_places(root, [](const Node* n) -> std::uint64_t {
        const std::uint64_t name = node_name(n).size();
        std::uint64_t bytes = 1 + name;  // <name
        for (const Attr a : node_attrs(n)) bytes = sat_add(bytes, 4 + a.key.size() + a.value.size());
        if (n->child_count == 0 && !n->text) return bytes + 2;
        bytes = sat_add(bytes, 4 + name);
        if (const auto text = node_text(n)) bytes = sat_add(bytes, text->size());
        return bytes;
    });
}

std::optional<CoreError> check_size(const Node* root, std::uint64_t max_output_bytes) {
    const std::uint64_t least = least_output_bytes(root);
    if (least <= max_output_bytes) return std::nullopt;
    const std::string needed = least == UINT64_MAX ? "more than " + std::to_string(least) : std::to_string(least);
    return CoreError::output(CoreError::Code::OutputMemory, "the document takes at least " + needed +
                                                    " bytes; the output would exceed " +
                                                    std::to_string(max_output_bytes) + " bytes");
}

std::optional<CoreError> check_indent(Node* root, std::uint64_t indent, bool declaration,
                                        std::uint64_t max_output_bytes) {
    // Measuring the layout visits every place: the size comes first.
    if (auto refused = check_size(root, max_output_bytes)) return refused;
    if (indent == 0) return std::nullopt;
    const LayoutMeasure m = measure_layout(root);
    std::uint64_t deepest;
    if (__builtin_mul_overflow(indent, m.max_indented_level, &deepest)) {
        return CoreError::output(CoreError::Code::OutputOverflow, "indent " + std::to_string(indent) + " at nesting level " +
                                                          std::to_string(m.max_indented_level) +
                                                          " overflows a 64-bit size");
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
    return CoreError::output(CoreError::Code::OutputMemory, "indent " + std::to_string(indent) + " needs " + needed +
                                                    " bytes of indentation; the output would exceed " +
                                                    std::to_string(max_output_bytes) + " bytes");
}

}  // namespace arbolite
