// Processor feature probe and the classifier's run-time variant choice.
#include <cpuid.h>

#include <atomic>

#include "simd/classify.hpp"

namespace arbolite {
namespace cpu {
namespace {

std::uint32_t probe() noexcept {
    std::uint32_t f = kProbed;
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d)) return f;
    if (d & bit_SSE2) f |= kSse2;
    if (c & bit_SSE4_2) f |= kSse42;
    // AVX2 is only usable when the OS saves the XMM and YMM state (XCR0 bits 1, 2).
    if ((c & bit_OSXSAVE) && (c & bit_AVX)) {
        unsigned lo = 0, hi = 0;
        __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
        if ((lo & 0x6) == 0x6 && __get_cpuid_count(7, 0, &a, &b, &c, &d) && (b & bit_AVX2)) f |= kAvx2;
    }
    return f;
}

// Zero until probed; racing first callers compute the same value.
std::atomic<std::uint32_t> g_features{0};

}  // namespace

std::uint32_t features() noexcept {
    std::uint32_t f = g_features.load(std::memory_order_relaxed);
    if (f == 0) {
        f = probe();
        g_features.store(f, std::memory_order_relaxed);
    }
    return f;
}

}  // namespace cpu

TagBitmaps classify(const char* text, std::size_t len) {
    if (cpu::has_avx2()) return classify_avx2(text, len);
    if (cpu::has_sse42()) return classify_sse42(text, len);
    return classify_scalar(text, len);
}

}  // namespace arbolite
