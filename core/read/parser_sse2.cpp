// The reader with 16-byte vector searches. SSE2 is part of x86-64, so this
// needs no target region.
#include "core/read/parser_includes.hpp"

namespace arbolite::kernel_sse2 {
#include "core/simd/sse2.hpp"
#include "core/simd/vector.hpp"
#include "core/read/parser_kernel.inl"
}  // namespace arbolite::kernel_sse2
