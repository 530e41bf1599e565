// Processor features, probed once per process, and the choice of the
// instruction set the vectorised kernels run with.
#pragma once
#include <cstdint>

namespace arbolite::cpu {

enum class Kernel : std::uint8_t {
    Scalar = 0,  // plain C++: the reference every other kernel must agree with
    Sse2 = 1,    // 16-byte vectors; every x86-64 processor has them
    Avx2 = 2,    // 32-byte vectors, with BMI1/BMI2 bit tricks
};

// The best kernel this processor and operating system can run.
Kernel best_kernel() noexcept;
bool can_run(Kernel k) noexcept;

// The kernel calls use: best_kernel() unless a test forced another one.
Kernel active_kernel() noexcept;
// For tests and fuzzers that compare kernels; must name one that can run.
void force_kernel(Kernel k) noexcept;
void unforce_kernel() noexcept;

}  // namespace arbolite::cpu
