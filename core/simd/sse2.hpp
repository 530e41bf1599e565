// 16-byte lanes (SSE2, which every x86-64 processor has).
#pragma once

struct Lanes {
    static constexpr const char* kName = "sse2";
    static constexpr std::size_t W = 16;
    using V = __m128i;
    static V load(const char* p) noexcept { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
    static void store(char* p, V v) noexcept { _mm_storeu_si128(reinterpret_cast<V*>(p), v); }
    // Unsigned bytewise minimum.
    static V min(V a, V b) noexcept { return _mm_min_epu8(a, b); }
    static V sub(V a, V b) noexcept { return _mm_sub_epi8(a, b); }
    static V splat(char c) noexcept { return _mm_set1_epi8(c); }
    static V eq(V v, char c) noexcept { return _mm_cmpeq_epi8(v, _mm_set1_epi8(c)); }
    static V eq_v(V v, V w) noexcept { return _mm_cmpeq_epi8(v, w); }
    template <class... Vs>
    static V any_of(V first, Vs... rest) noexcept {
        ((first = _mm_or_si128(first, rest)), ...);
        return first;
    }
    // One bit per byte: its high bit (after a compare, set where it matched).
    static std::uint32_t mask(V v) noexcept { return static_cast<std::uint32_t>(_mm_movemask_epi8(v)); }
    static constexpr bool kLookup = false;  // no byte shuffle before SSSE3
};
