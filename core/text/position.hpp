// Where a byte offset of a UTF-8 text is, as a person counts it. Computed
// only for an error's message, never while reading.
#pragma once
#include <cstdint>
#include <string_view>

namespace arbolite {

struct TextPosition {
    std::uint64_t line = 1;    // counted from 1
    std::uint64_t column = 0;  // code points since the line's start, from 0
};

// The position of byte `offset` (at most text.size()) of the UTF-8 `text`.
// Lines end at LF, CR LF or a lone CR, as XML reads line ends. A byte-order
// mark at the very start is not a character of the first line.
TextPosition text_position(std::string_view text, std::uint64_t offset) noexcept;

}  // namespace arbolite
