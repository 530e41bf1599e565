#include "src/write/xml_writer.hpp"

#include <array>
#include <limits>

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

IoStatus append_spaces(ByteSink& sink, std::uint64_t n) {
    while (n != 0) {
        std::size_t chunk = n < kSpaceRun ? static_cast<std::size_t>(n) : kSpaceRun;
        if (IoStatus e = sink.append(kBreak.bytes + 1, chunk)) return e;
        n -= chunk;
    }
    return std::nullopt;
}

void release(PlainElement& e) {
    PlainElement gone = std::move(e);
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

// Every byte of an element's own tags, with values and text fully expanded.
std::uint64_t max_tag_bytes(const PlainElement& e) {
    std::uint64_t n = 1 + e.name.size();  // <name
    for (auto a : e.attrs) {
        n = sat_add(n, 1 + a.key.size() + 2 + 1);  // ␠key=""
        n = sat_add(n, sat_mul(a.value.size(), kMaxExpansion));
    }
    if (e.children.empty() && !e.text) return sat_add(n, 2);  // />
    n = sat_add(n, 1 + 2 + e.name.size() + 1);                // > </name>
    if (e.text) n = sat_add(n, sat_mul(e.text->size(), kMaxExpansion));
    return n;
}

}  // namespace

IoStatus escape_into(ByteSink& sink, std::string_view s, EscapeSet set) {
    const EscapeTable& table = set == EscapeSet::Text ? kTextTable : kAttributeTable;
    const char* p = s.data();
    const std::size_t n = s.size();
    std::size_t run = 0;
    for (std::size_t i = 0; i < n; ++i) {
        unsigned char ref = table[static_cast<unsigned char>(p[i])];
        if (ref == 0) continue;
        if (i > run) {
            if (IoStatus e = sink.append(p + run, i - run)) return e;
        }
        if (IoStatus e = sink.append(kReferences[ref])) return e;
        run = i + 1;
    }
    if (n > run) return sink.append(p + run, n - run);
    return std::nullopt;
}

IoStatus XmlWriter::line_break() {
    std::uint64_t total;
    if (__builtin_mul_overflow(indent_, level_, &total)) {
        // More than 2^64 spaces: only reachable when check_indent was skipped,
        // and then the sink gives out long before this finishes.
        if (IoStatus e = sink_.append(kBreak.bytes, 1)) return e;
        for (std::uint64_t l = 0; l < level_; ++l) {
            if (IoStatus e = append_spaces(sink_, indent_)) return e;
        }
        return std::nullopt;
    }
    std::size_t first = total < kSpaceRun ? static_cast<std::size_t>(total) : kSpaceRun;
    if (IoStatus e = sink_.append(kBreak.bytes, first + 1)) return e;
    return append_spaces(sink_, total - first);
}

IoStatus XmlWriter::open(PlainElement& e, bool& needs_close) {
    needs_close = false;
    if (newline_pending_) {
        if (IoStatus err = line_break()) return err;
    }
    newline_pending_ = true;
    if (IoStatus err = sink_.append("<", 1)) return err;
    if (IoStatus err = sink_.append(e.name)) return err;
    for (auto a : e.attrs) {
        if (IoStatus err = sink_.append(" ", 1)) return err;
        if (IoStatus err = sink_.append(a.key)) return err;
        if (IoStatus err = sink_.append("=\"", 2)) return err;
        if (IoStatus err = escape_into(sink_, a.value, EscapeSet::Attribute)) return err;
        if (IoStatus err = sink_.append("\"", 1)) return err;
    }
    if (e.children.empty() && !e.text) return sink_.append("/>", 2);
    if (IoStatus err = sink_.append(">", 1)) return err;
    ++level_;
    needs_close = true;
    if (e.text) {
        if (IoStatus err = escape_into(sink_, *e.text, EscapeSet::Text)) return err;
        newline_pending_ = false;
    }
    return std::nullopt;
}

IoStatus XmlWriter::close(const PlainElement& e) {
    --level_;
    if (newline_pending_) {
        if (IoStatus err = line_break()) return err;
    }
    newline_pending_ = true;
    if (IoStatus err = sink_.append("</", 2)) return err;
    if (IoStatus err = sink_.append(e.name)) return err;
    return sink_.append(">", 1);
}

IoStatus XmlWriter::write_element(PlainElement&& root) {
    open_.clear();
    IoStatus status = [&]() -> IoStatus {
        bool needs_close;
        if (IoStatus err = open(root, needs_close)) return err;
        if (!needs_close) return std::nullopt;
        open_.push_back({&root, 0});
        while (!open_.empty()) {
            Frame& top = open_.back();
            PlainElement& parent = *top.element;
            if (top.next_child < parent.children.size()) {
                PlainElement& child = parent.children[top.next_child++];
                if (IoStatus err = open(child, needs_close)) return err;
                if (needs_close) {
                    open_.push_back({&child, 0});  // `top` is dead from here
                } else {
                    release(child);
                }
            } else {
                if (IoStatus err = close(parent)) return err;
                open_.pop_back();
                if (&parent != &root) release(parent);
            }
        }
        return std::nullopt;
    }();
    open_.clear();
    release(root);  // after a failure: everything not yet written
    return status;
}

IoStatus write_document(ByteSink& sink, PlainElement&& root, std::uint64_t indent,
                        bool declaration) {
    if (declaration) {
        if (IoStatus err = sink.append(kXmlDeclaration)) {
            release(root);
            return err;
        }
    }
    XmlWriter writer(sink, indent);
    return writer.write_element(std::move(root));
}

LayoutMeasure measure_layout(const PlainElement& root) {
    LayoutMeasure m;
    auto line_at = [&m](std::uint64_t level) {
        ++m.indented_lines;
        m.level_sum = sat_add(m.level_sum, level);
        if (level > m.max_indented_level) m.max_indented_level = level;
    };
    // The same line-break rule the writer follows: a start tag breaks unless it
    // is the root's or directly follows its parent's text; an end tag breaks
    // when the element has children.
    auto enter = [&](const PlainElement& e, std::uint64_t level, bool breaks) {
        if (breaks) line_at(level);
        m.max_other_bytes = sat_add(m.max_other_bytes, max_tag_bytes(e));
        if (!e.children.empty()) line_at(level);
    };
    struct Frame {
        const PlainElement* element;
        std::size_t next_child;
        std::uint64_t level;
    };
    std::vector<Frame> stack;
    enter(root, 0, false);
    if (!root.children.empty()) stack.push_back({&root, 0, 0});
    while (!stack.empty()) {
        Frame& top = stack.back();
        const PlainElement& parent = *top.element;
        if (top.next_child == parent.children.size()) {
            stack.pop_back();
            continue;
        }
        const std::size_t i = top.next_child++;
        const std::uint64_t level = top.level + 1;
        const PlainElement& child = parent.children[i];
        enter(child, level, !(i == 0 && parent.text));
        if (!child.children.empty()) stack.push_back({&child, 0, level});
    }
    return m;
}

std::optional<IndentError> check_indent(const PlainElement& root, std::uint64_t indent,
                                        bool declaration, std::uint64_t max_output_bytes) {
    if (indent == 0) return std::nullopt;
    const LayoutMeasure m = measure_layout(root);
    std::uint64_t deepest;
    if (__builtin_mul_overflow(indent, m.max_indented_level, &deepest)) {
        return IndentError{IndentErrorKind::Overflow,
                           "indent " + std::to_string(indent) + " at nesting level " +
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
    // that would fit. Only the whole output is weighed against what a size can represent.
    if (!spaces_overflow && spaces <= max_output_bytes && total <= kMaxOutputBytes) return std::nullopt;
    std::string needed = spaces_overflow ? "more than " + std::to_string(std::numeric_limits<std::uint64_t>::max())
                                         : std::to_string(spaces);
    return IndentError{IndentErrorKind::Memory,
                       "indent " + std::to_string(indent) + " needs " + needed +
                           " bytes of indentation; the output would exceed " +
                           std::to_string(max_output_bytes) + " bytes"};
}

}  // namespace arbolite
