// UTF-8: validation, and conversion to and from the code-unit layouts of a
// Python str (1, 2 or 4 bytes per code point). Every loop takes ASCII sixteen
// bytes at a time: most XML is ASCII.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "core/base/byte_buffer.hpp"

namespace arbolite {

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool is_valid_utf8(std::string_view text) noexcept;

// Where strict UTF-8 validation fails: the offset of the first byte of the
// first ill-formed sequence (where a strict decoder's error starts), or
// text.size() when the whole text is valid.
std::size_t utf8_error_offset(std::string_view text) noexcept;

// UTF-8 for text held as 1-, 2- or 4-byte code units. False, with `out`
// unchanged, when the text holds a surrogate, which has no UTF-8 form.
bool utf8_from_units(const void* units, std::size_t length, int unit_bytes, ByteBuffer& out);

// What a str made from UTF-8 needs: its length in code points and the class
// of its largest code point (127, 255, 65535 or 1114111).
struct Utf8Shape {
    std::size_t code_points = 0;
    std::uint32_t max_code_point = 127;
};
// The shape `text` has if it is valid UTF-8 (it is not checked here: every
// byte is counted as a lead or a continuation byte).
Utf8Shape utf8_shape(std::string_view text) noexcept;

// Writes `text` as `shape.code_points` code units of `unit_bytes` bytes (1,
// 2 or 4), wide enough for `shape.max_code_point`. False when the text turns
// out not to be valid UTF-8 of that shape; `units` then holds garbage but
// nothing outside it was touched.
bool utf8_to_units(std::string_view text, const Utf8Shape& shape, void* units, int unit_bytes) noexcept;

}  // namespace arbolite
