#include "simd/byte_search.hpp"

#include <immintrin.h>

#include <atomic>

#include "simd/classify.hpp"

namespace arbolite {
namespace {

// Byte lanes count matches by subtracting the all-ones compare result; they
// are summed into 64-bit lanes before any of them can pass 255.
constexpr std::size_t kMaxRounds = 255;

std::size_t count_tail(const char* p, std::size_t n, char c) noexcept {
    std::size_t k = 0;
    for (std::size_t i = 0; i < n; ++i) k += p[i] == c;
    return k;
}

__attribute__((target("avx2"))) std::size_t sum_lanes_avx2(__m256i counts) {
    const __m256i s = _mm256_sad_epu8(counts, _mm256_setzero_si256());
    return static_cast<std::size_t>(_mm256_extract_epi64(s, 0) + _mm256_extract_epi64(s, 1) +
                                    _mm256_extract_epi64(s, 2) + _mm256_extract_epi64(s, 3));
}

std::size_t sum_lanes_sse2(__m128i counts) {
    const __m128i s = _mm_sad_epu8(counts, _mm_setzero_si128());
    return static_cast<std::size_t>(_mm_cvtsi128_si64(s) + _mm_cvtsi128_si64(_mm_unpackhi_epi64(s, s)));
}

using CountFn = ByteCounts (*)(const char*, std::size_t, char, char) noexcept;

std::atomic<CountFn> g_count{nullptr};

}  // namespace

ByteCounts count_two_bytes_scalar(const char* data, std::size_t len, char a, char b) noexcept {
    return {count_tail(data, len, a), count_tail(data, len, b)};
}

__attribute__((target("avx2"))) ByteCounts count_two_bytes_avx2(const char* data, std::size_t len, char a,
                                                               char b) noexcept {
    const __m256i va = _mm256_set1_epi8(a), vb = _mm256_set1_epi8(b);
    ByteCounts out;
    std::size_t i = 0;
    while (len - i >= 32) {
        __m256i ca = _mm256_setzero_si256(), cb = _mm256_setzero_si256();
        for (std::size_t r = 0; r < kMaxRounds && len - i >= 32; ++r, i += 32) {
            const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + i));
            ca = _mm256_sub_epi8(ca, _mm256_cmpeq_epi8(v, va));
            cb = _mm256_sub_epi8(cb, _mm256_cmpeq_epi8(v, vb));
        }
        out.first += sum_lanes_avx2(ca);
        out.second += sum_lanes_avx2(cb);
    }
    out.first += count_tail(data + i, len - i, a);
    out.second += count_tail(data + i, len - i, b);
    return out;
}

ByteCounts count_two_bytes_sse2(const char* data, std::size_t len, char a, char b) noexcept {
    const __m128i va = _mm_set1_epi8(a), vb = _mm_set1_epi8(b);
    ByteCounts out;
    std::size_t i = 0;
    while (len - i >= 16) {
        __m128i ca = _mm_setzero_si128(), cb = _mm_setzero_si128();
        for (std::size_t r = 0; r < kMaxRounds && len - i >= 16; ++r, i += 16) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + i));
            ca = _mm_sub_epi8(ca, _mm_cmpeq_epi8(v, va));
            cb = _mm_sub_epi8(cb, _mm_cmpeq_epi8(v, vb));
        }
        out.first += sum_lanes_sse2(ca);
        out.second += sum_lanes_sse2(cb);
    }
    out.first += count_tail(data + i, len - i, a);
    out.second += count_tail(data + i, len - i, b);
    return out;
}

ByteCounts count_two_bytes(const char* data, std::size_t len, char a, char b) noexcept {
    CountFn fn = g_count.load(std::memory_order_relaxed);
    if (fn == nullptr) {
        fn = cpu::has_avx2() ? count_two_bytes_avx2 : count_two_bytes_sse2;
        g_count.store(fn, std::memory_order_relaxed);
    }
    return fn(data, len, a, b);
}

}  // namespace arbolite
