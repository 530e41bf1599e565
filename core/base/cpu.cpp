#include "core/base/cpu.hpp"

#include <cpuid.h>

#include <atomic>

namespace arbolite::cpu {
namespace {

constexpr std::uint32_t kProbed = 1u << 0;
constexpr std::uint32_t kSse2 = 1u << 1;
constexpr std::uint32_t kAvx2Set = 1u << 2;  // AVX2 with BMI1 and BMI2, and the OS saves YMM state

std::uint32_t probe() noexcept {
    std::uint32_t f = kProbed;
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d)) return f;
    if (d & bit_SSE2) f |= kSse2;
    // AVX2 is usable only when the OS saves the XMM and YMM registers (XCR0 bits 1 and 2).
    if ((c & bit_OSXSAVE) && (c & bit_AVX) && (c & bit_POPCNT)) {
        unsigned lo = 0, hi = 0;
        __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
        if ((lo & 0x6) == 0x6 && __get_cpuid_count(7, 0, &a, &b, &c, &d) && (b & bit_AVX2) && (b & bit_BMI) &&
            (b & bit_BMI2)) {
            f |= kAvx2Set;
        }
    }
    return f;
}

// Zero until probed; racing first callers compute the same value.
std::atomic<std::uint32_t> g_features{0};
// -1: not forced; otherwise the forced kernel.
std::atomic<int> g_forced{-1};

std::uint32_t features() noexcept {
    std::uint32_t f = g_features.load(std::memory_order_relaxed);
    if (f == 0) {
        f = probe();
        g_features.store(f, std::memory_order_relaxed);
    }
    return f;
}

}  // namespace

Kernel best_kernel() noexcept {
    const std::uint32_t f = features();
    if (f & kAvx2Set) return Kernel::Avx2;
    if (f & kSse2) return Kernel::Sse2;
    return Kernel::Scalar;
}

bool can_run(Kernel k) noexcept { return static_cast<int>(k) <= static_cast<int>(best_kernel()); }

Kernel active_kernel() noexcept {
    const int forced = g_forced.load(std::memory_order_relaxed);
    return forced < 0 ? best_kernel() : static_cast<Kernel>(forced);
}

void force_kernel(Kernel k) noexcept { g_forced.store(can_run(k) ? static_cast<int>(k) : -1, std::memory_order_relaxed); }

void unforce_kernel() noexcept { g_forced.store(-1, std::memory_order_relaxed); }

}  // namespace arbolite::cpu
