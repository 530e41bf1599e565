// The reader with plain byte loops: the reference for the vector kernels.
#include "core/read/parser_includes.hpp"

namespace arbolite::kernel_scalar {
#include "core/simd/scalar.hpp"
#include "core/read/parser_kernel.inl"
}  // namespace arbolite::kernel_scalar
