// AVX2 classifier: one 64-byte block as two 32-byte halves. Compiled for AVX2
// per function only, so the module still loads on processors without it.
#include <immintrin.h>

#include "simd/classify.hpp"
#include "simd/quote_mask.hpp"

namespace arbolite {
namespace {

__attribute__((target("avx2"))) inline std::uint64_t eq_mask(__m256i lo, __m256i hi, __m256i c) {
    const auto l = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(lo, c)));
    const auto h = static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(hi, c)));
    return (static_cast<std::uint64_t>(h) << 32) | l;
}

}  // namespace

__attribute__((target("avx2"))) TagBitmaps classify_avx2(const char* text, std::size_t len) {
    using namespace classify_detail;
    TagBitmaps out;
    out.len = len;
    const std::size_t words = (len + 63) / 64;
    out.lt_bits.assign(words, 0);
    out.gt_bits.assign(words, 0);
    const __m256i dq = _mm256_set1_epi8('"');
    const __m256i sq = _mm256_set1_epi8('\'');
    const __m256i lt = _mm256_set1_epi8('<');
    const __m256i gt = _mm256_set1_epi8('>');
    QuoteState st;
    const std::size_t blocks = len / 64;
    for (std::size_t b = 0; b < blocks; ++b) {
        const char* p = text + 64 * b;
        const __m256i lo = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
        const __m256i hi = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + 32));
        const std::uint64_t inside = in_string_mask(eq_mask(lo, hi, dq), eq_mask(lo, hi, sq), st);
        out.lt_bits[b] = eq_mask(lo, hi, lt) & ~inside;
        out.gt_bits[b] = eq_mask(lo, hi, gt) & ~inside;
    }
    if (len % 64 != 0) {
        classify_tail(reinterpret_cast<const unsigned char*>(text) + 64 * blocks, len % 64, st,
                      out.lt_bits[blocks], out.gt_bits[blocks]);
    }
    return out;
}

}  // namespace arbolite
