// SSE4.2 classifier: one 64-byte block as four 16-byte quarters. Compiled for
// SSE4.2 per function only; the compares themselves need no more than SSE2.
#include <immintrin.h>

#include "simd/classify.hpp"
#include "simd/quote_mask.hpp"

namespace arbolite {
namespace {

struct Quarters {
    __m128i q[4];
};

__attribute__((target("sse4.2"))) inline std::uint64_t eq_mask(const Quarters& b, __m128i c) {
    std::uint64_t m = 0;
    for (int i = 0; i < 4; ++i) {
        const auto part = static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(b.q[i], c)));
        m |= static_cast<std::uint64_t>(part) << (16 * i);
    }
    return m;
}

}  // namespace

__attribute__((target("sse4.2"))) TagBitmaps classify_sse42(const char* text, std::size_t len) {
    using namespace classify_detail;
    TagBitmaps out;
    out.len = len;
    const std::size_t words = (len + 63) / 64;
    out.lt_bits.assign(words, 0);
    out.gt_bits.assign(words, 0);
    const __m128i dq = _mm_set1_epi8('"');
    const __m128i sq = _mm_set1_epi8('\'');
    const __m128i lt = _mm_set1_epi8('<');
    const __m128i gt = _mm_set1_epi8('>');
    QuoteState st;
    const std::size_t blocks = len / 64;
    for (std::size_t b = 0; b < blocks; ++b) {
        const char* p = text + 64 * b;
        Quarters block;
        for (int i = 0; i < 4; ++i) block.q[i] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * i));
        const std::uint64_t inside = in_string_mask(eq_mask(block, dq), eq_mask(block, sq), st);
        out.lt_bits[b] = eq_mask(block, lt) & ~inside;
        out.gt_bits[b] = eq_mask(block, gt) & ~inside;
    }
    if (len % 64 != 0) {
        classify_tail(reinterpret_cast<const unsigned char*>(text) + 64 * blocks, len % 64, st,
                      out.lt_bits[blocks], out.gt_bits[blocks]);
    }
    return out;
}

}  // namespace arbolite
