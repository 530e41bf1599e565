// Characters with the Unicode White_Space property in UTF-8 text: element
// text is trimmed of them, and end tags may carry them before their '>'.
#pragma once
#include <cstddef>
#include <string_view>

namespace arbolite {

// Byte length of the White_Space character that starts text[i], or 0.
std::size_t white_space_at(std::string_view text, std::size_t i) noexcept;
// Bytes of White_Space at the start and at the end of `text`.
std::size_t leading_white_space(std::string_view text) noexcept;
std::size_t trailing_white_space(std::string_view text) noexcept;
std::string_view trim_white_space(std::string_view text) noexcept;
bool all_white_space(std::string_view text) noexcept;

}  // namespace arbolite
