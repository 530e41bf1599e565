#pragma once
#include <cstddef>
#include <string_view>

namespace arbolite {

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool is_valid_utf8(std::string_view text) noexcept;

}  // namespace arbolite
