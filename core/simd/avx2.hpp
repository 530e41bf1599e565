// 32-byte lanes (AVX2).
#pragma once

struct Lanes {
    static constexpr const char* kName = "avx2";
    static constexpr std::size_t W = 32;
    using V = __m256i;
    static V load(const char* p) noexcept { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }
    static void store(char* p, V v) noexcept { _mm256_storeu_si256(reinterpret_cast<V*>(p), v); }
    // Unsigned bytewise minimum.
    static V min(V a, V b) noexcept { return _mm256_min_epu8(a, b); }
    static V sub(V a, V b) noexcept { return _mm256_sub_epi8(a, b); }
    static V splat(char c) noexcept { return _mm256_set1_epi8(c); }
    static V eq(V v, char c) noexcept { return _mm256_cmpeq_epi8(v, _mm256_set1_epi8(c)); }
    static V eq_v(V v, V w) noexcept { return _mm256_cmpeq_epi8(v, w); }
    template <class... Vs>
    static V any_of(V first, Vs... rest) noexcept {
        ((first = _mm256_or_si256(first, rest)), ...);
        return first;
    }
    static std::uint32_t mask(V v) noexcept { return static_cast<std::uint32_t>(_mm256_movemask_epi8(v)); }
    // Each byte of v below 0x80 picks entry (its low nibble) of the 16-byte
    // table; bytes from 0x80 pick 0.
    static constexpr bool kLookup = true;
    // Spelled out entry by entry so that a constant table becomes one
    // constant vector, not a load and a broadcast per call.
    static V lookup(const char (&t)[16], V v) noexcept {
        const V table = _mm256_setr_epi8(t[0], t[1], t[2], t[3], t[4], t[5], t[6], t[7], t[8], t[9], t[10], t[11],
                                         t[12], t[13], t[14], t[15], t[0], t[1], t[2], t[3], t[4], t[5], t[6], t[7],
                                         t[8], t[9], t[10], t[11], t[12], t[13], t[14], t[15]);
        return _mm256_shuffle_epi8(table, v);
    }
};
