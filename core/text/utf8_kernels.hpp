// Vector forms of the UTF-8 checks, one per instruction set that has its
// own; utf8.cpp picks one by the active kernel.
#pragma once
#include <cstddef>
#include <cstdint>

namespace arbolite::kernel_avx2 {

// Whether data[0, n) is strict UTF-8; needs AVX2.
bool valid_utf8(const char* data, std::size_t n) noexcept;

// The UTF-8 of n code units of unit_bytes bytes (1, 2 or 4) into
// [out, end), which has room for it: the bytes written, or SIZE_MAX at a
// surrogate.
std::size_t write_utf8(const void* units, std::size_t n, int unit_bytes, unsigned char* out,
                       unsigned char* end) noexcept;

// The UTF-8 size of n 4-byte code units; false at a surrogate.
bool utf8_size_of_ucs4(const std::uint32_t* u, std::size_t n, std::size_t& bytes) noexcept;

}  // namespace arbolite::kernel_avx2
