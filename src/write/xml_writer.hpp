// The XML serializer: walks a PlainElement snapshot and appends its text to a
// ByteSink. One fixed layout: each tag that follows a tag starts a new line,
// indented by `indent` spaces per level; text stays on its start tag's line;
// elements with neither children nor text are self-closing; no final LF.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "src/core/plain_element.hpp"
#include "src/write/byte_sink.hpp"

namespace arbolite {

// 38 characters and a LF.
inline constexpr std::string_view kXmlDeclaration = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n";
static_assert(kXmlDeclaration.size() == 39);

enum class EscapeSet {
    Text,       // & < > " '
    Attribute,  // those and TAB, LF, CR
};

// Appends `s` with every character of `set` replaced by its reference.
IoStatus escape_into(ByteSink& sink, std::string_view s, EscapeSet set);

class XmlWriter {
public:
    XmlWriter(ByteSink& sink, std::uint64_t indent) noexcept : sink_(sink), indent_(indent) {}

    // Writes `e` and everything inside it, without native recursion per level,
    // releasing each subtree once written. On return (success, I/O error, or
    // an exception from the sink) the snapshot has been released or is left
    // to `e`'s own destructor; after an I/O error nothing more is written.
    IoStatus write_element(PlainElement&& e);

    std::uint64_t level() const noexcept { return level_; }
    bool newline_pending() const noexcept { return newline_pending_; }

private:
    struct Frame {
        PlainElement* element;  // open: start tag written, end tag not yet
        std::size_t next_child;
    };

    IoStatus line_break();
    // Writes the start tag (and text); returns whether an end tag must follow.
    IoStatus open(PlainElement& e, bool& needs_close);
    IoStatus close(const PlainElement& e);

    ByteSink& sink_;
    std::uint64_t indent_;
    std::uint64_t level_ = 0;
    bool newline_pending_ = false;
    std::vector<Frame> open_;  // the explicit stack of open elements
};

// The declaration when asked, then the root element, into `sink`. A FileSink
// still needs its flush() afterwards. `root` is consumed.
IoStatus write_document(ByteSink& sink, PlainElement&& root, std::uint64_t indent,
                        bool declaration);

// What the layout of a tree costs, independent of the indent width.
struct LayoutMeasure {
    std::uint64_t max_indented_level = 0;  // deepest level a line break indents to
    std::uint64_t indented_lines = 0;      // line breaks, each one LF
    std::uint64_t level_sum = 0;           // sum of their levels (saturating)
    std::uint64_t max_other_bytes = 0;     // bound on all bytes but indentation (saturating)
};

// Walks the tree (iteratively, without consuming it).
LayoutMeasure measure_layout(const PlainElement& root);

enum class IndentErrorKind {
    Overflow,  // indent × level does not fit in 64 bits
    Memory,    // the output would exceed max_output_bytes
};

struct IndentError {
    IndentErrorKind kind;
    std::string message;  // names the indent value
};

inline constexpr std::uint64_t kMaxOutputBytes = PTRDIFF_MAX;

// Rejects an indent whose indentation cannot be represented or held, before
// anything is written. Ordinary indents on any tree pass.
std::optional<IndentError> check_indent(const PlainElement& root, std::uint64_t indent,
                                        bool declaration,
                                        std::uint64_t max_output_bytes = kMaxOutputBytes);

}  // namespace arbolite
