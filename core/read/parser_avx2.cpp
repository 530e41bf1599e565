// The reader with 32-byte vector searches, compiled for AVX2 inside a target
// region; it runs only where the processor has been checked for it.
#include "core/read/parser_includes.hpp"

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2,bmi,bmi2,popcnt"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2,bmi,bmi2,popcnt")
#endif

namespace arbolite::kernel_avx2 {
#include "core/simd/avx2.hpp"
#include "core/simd/vector.hpp"
#include "core/read/parser_kernel.inl"
}  // namespace arbolite::kernel_avx2

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif
