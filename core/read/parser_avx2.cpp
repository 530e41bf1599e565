// The reader with 32-byte vector searches, compiled for AVX2 inside a target
// region; it runs only where the processor has been checked for it.
#include "core/read/parser_includes.hpp"

#include "core/simd/avx2_region_begin.inl"

namespace arbolite::kernel_avx2 {
#include "core/simd/avx2.hpp"
#include "core/simd/vector.hpp"
#include "core/read/parser_kernel.inl"
}  // namespace arbolite::kernel_avx2

#include "core/simd/avx2_region_end.inl"
