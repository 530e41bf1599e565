// Vector forms of the UTF-8 checks, one per instruction set that has its
// own; utf8.cpp picks one by the active kernel.
#pragma once
#include <cstddef>

namespace arbolite::kernel_avx2 {

// Whether data[0, n) is strict UTF-8; needs AVX2.
bool valid_utf8(const char* data, std::size_t n) noexcept;

}  // namespace arbolite::kernel_avx2
