#pragma once
#include <cstddef>
#include <cstdint>
#include "core/base/byte_buffer.hpp"
#include <string_view>

namespace arbolite {

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool is_valid_utf8(std::string_view text) noexcept;

}  // namespace arbolite

namespace arbolite {

// UTF-8 for text held as 1-, 2- or 4-byte code units (the layouts of a Python
// str). False, with `out` unchanged, when the text holds a surrogate, which
// has no UTF-8 form.
bool utf8_from_units(const void* units, std::size_t length, int unit_bytes, ByteBuffer& out);

// What a str made from valid UTF-8 needs: its length in code points and the
// largest code point's class (127, 255, 65535 or 1114111).
struct Utf8Shape {
    std::size_t code_points = 0;
    std::uint32_t max_code_point = 127;
};
Utf8Shape utf8_shape(std::string_view text) noexcept;

// Writes valid UTF-8 `text` as code units of `unit_bytes` bytes (1, 2 or 4),
// which must be wide enough for every code point in it.
void utf8_to_units(std::string_view text, void* units, int unit_bytes) noexcept;

}  // namespace arbolite
