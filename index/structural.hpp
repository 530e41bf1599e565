// The structural index: every piece of markup of a document as flat parallel
// arrays in document order, plus the ranges of character data between them.
// Two builders fill it: a sequential byte search, and a walk over the byte
// classifier's bitmaps for documents dense in double quotes.
#pragma once
#include <cstddef>
#include <cstdint>
#include <exception>
#include <string_view>
#include <variant>
#include <vector>

#include "index/xml_error.hpp"

namespace arbolite {

enum class TagKind : std::uint8_t {
    Open = 0,       // <name ...>
    Close = 1,      // </name>
    SelfClose = 2,  // <name .../>
    Comment = 3,    // <!--
    CData = 4,      // <![CDATA[
    ProcessingInstruction = 5,  // <?
};

struct NameRange {
    std::uint64_t offset = 0;
    std::uint64_t length = 0;  // 64 bits wide: names of any length fit
};

struct TextRange {
    std::uint64_t start = 0;  // half-open [start, end), never empty
    std::uint64_t end = 0;
};

struct StructuralIndex {
    std::string_view input;  // borrowed: the index must not outlive it
    // Parallel: entry i of each describes record i.
    std::vector<std::uint64_t> tag_starts;  // the record's '<'
    std::vector<std::uint64_t> tag_ends;    // its last byte (may equal input.size() when unterminated)
    std::vector<TagKind> tag_kinds;
    std::vector<NameRange> tag_names;  // (0, 0) for comments and CDATA sections
    std::vector<TextRange> text_ranges;
    // Set by the bitmap builder, where quotes in character data can hide
    // markup inside a text range; sequential text ranges never hold a '<'
    // the tree builder reads.
    bool text_may_hold_lt = false;

    std::size_t size() const noexcept { return tag_starts.size(); }
    std::string_view name(std::size_t record) const noexcept {
        const NameRange& n = tag_names[record];
        return input.substr(n.offset, n.length);
    }
};

using IndexResult = std::variant<StructuralIndex, XmlError>;

// Each produces a complete index or UnclosedTag.
IndexResult build_index_sequential(std::string_view text);
IndexResult build_index_bitmap(std::string_view text);

// Whether a record starts before the previous one ends: only the bitmap
// builder makes such indexes (an unquoted '<' inside a tag), and walking them
// costs time and memory quadratic in the tag's length.
bool has_overlapping_tags(const StructuralIndex& index) noexcept;

// Thrown by the builders' range guards, which the rules should never trip;
// the tree builder turns it into a reader error.
struct IndexRangeError : std::exception {
    const char* what() const noexcept override { return "structural index position out of range"; }
};

}  // namespace arbolite
