// Strict UTF-8 validation 32 bytes at a time, compiled for AVX2 inside a
// target region; it runs only where the processor has been checked for it.
//
// Each byte is classified against the one, two and three bytes before it by
// three 16-entry tables indexed by nibbles (the lead byte's high and low
// nibble, the next byte's high nibble): their AND is non-zero exactly where
// a two-byte pattern is ill-formed. The one error the pairs cannot see, a
// continuation byte where a three- or four-byte sequence needs one, comes
// from the bytes two and three back. 64 bytes of ASCII skip all of it (one
// test per 32 bytes costs more in mispredictions on mixed text than it saves).
#include <immintrin.h>

#include <array>
#include <cstdint>
#include <cstring>

#include "core/text/utf8_kernels.hpp"

#include "core/simd/avx2_region_begin.inl"

namespace arbolite::kernel_avx2 {
namespace {

// What each table entry may flag; a pair is ill-formed when all three
// tables agree on at least one flag.
constexpr unsigned char kTooShort = 1 << 0;   // a lead byte followed by a non-continuation
constexpr unsigned char kTooLong = 1 << 1;    // ASCII followed by a continuation
constexpr unsigned char kOverlong3 = 1 << 2;  // E0 followed by 80..9F
constexpr unsigned char kTooLarge = 1 << 3;   // F4 followed by 90..BF, or F5..FF
constexpr unsigned char kSurrogate = 1 << 4;  // ED followed by A0..BF
constexpr unsigned char kOverlong2 = 1 << 5;  // C0 or C1
constexpr unsigned char kTooLarge1000 = 1 << 6;
constexpr unsigned char kOverlong4 = 1 << 6;  // F0 followed by 80..8F
constexpr unsigned char kTwoConts = 1 << 7;   // a continuation after a continuation
constexpr unsigned char kCarry = kTooShort | kTooLong | kTwoConts;

inline __m256i table(unsigned char a0, unsigned char a1, unsigned char a2, unsigned char a3, unsigned char a4,
                     unsigned char a5, unsigned char a6, unsigned char a7, unsigned char a8, unsigned char a9,
                     unsigned char a10, unsigned char a11, unsigned char a12, unsigned char a13, unsigned char a14,
                     unsigned char a15) {
    const __m128i t = _mm_setr_epi8(static_cast<char>(a0), static_cast<char>(a1), static_cast<char>(a2),
                                    static_cast<char>(a3), static_cast<char>(a4), static_cast<char>(a5),
                                    static_cast<char>(a6), static_cast<char>(a7), static_cast<char>(a8),
                                    static_cast<char>(a9), static_cast<char>(a10), static_cast<char>(a11),
                                    static_cast<char>(a12), static_cast<char>(a13), static_cast<char>(a14),
                                    static_cast<char>(a15));
    return _mm256_broadcastsi128_si256(t);
}

// The 32 bytes of `input` preceded by the last `k` bytes of `prev`.
template <int K>
inline __m256i before(__m256i input, __m256i prev) {
    // [prev.high, input.low]: the 16 bytes just before each lane of input
    const __m256i joined = _mm256_permute2x128_si256(prev, input, 0x21);
    return _mm256_alignr_epi8(input, joined, 16 - K);
}

inline __m256i high_nibble(__m256i v) { return _mm256_and_si256(_mm256_srli_epi16(v, 4), _mm256_set1_epi8(0x0F)); }

// The checks of one block, kept as plain locals of the caller: GCC gives no
// target region to the members a class makes for itself.
struct Tables {
    __m256i byte_1_high, byte_1_low, byte_2_high, incomplete_above;
};

inline Tables tables() {
    return Tables{
        table(kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTooLong, kTwoConts, kTwoConts,
              kTwoConts, kTwoConts, kTooShort | kOverlong2, kTooShort, kTooShort | kOverlong3 | kSurrogate,
              kTooShort | kTooLarge | kTooLarge1000 | kOverlong4),
        table(kCarry | kOverlong3 | kOverlong2 | kOverlong4, kCarry | kOverlong2, kCarry, kCarry, kCarry | kTooLarge,
              kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000,
              kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000,
              kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000,
              kCarry | kTooLarge | kTooLarge1000, kCarry | kTooLarge | kTooLarge1000,
              kCarry | kTooLarge | kTooLarge1000 | kSurrogate, kCarry | kTooLarge | kTooLarge1000,
              kCarry | kTooLarge | kTooLarge1000),
        table(kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort, kTooShort,
              kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kTooLarge1000 | kOverlong4,
              kTooLong | kOverlong2 | kTwoConts | kOverlong3 | kTooLarge,
              kTooLong | kOverlong2 | kTwoConts | kSurrogate | kTooLarge,
              kTooLong | kOverlong2 | kTwoConts | kSurrogate | kTooLarge, kTooShort, kTooShort, kTooShort, kTooShort),
        // A block's last bytes that still wait for continuations: above these.
        _mm256_setr_epi8(-1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
                         -1, -1, -1, -1, -1, -1, static_cast<char>(0xF0 - 1), static_cast<char>(0xE0 - 1),
                         static_cast<char>(0xC0 - 1)),
    };
}

inline void check_block(const Tables& t, __m256i input, __m256i& prev, __m256i& prev_incomplete, __m256i& error) {
    const __m256i prev1 = before<1>(input, prev);
    const __m256i special = _mm256_and_si256(
        _mm256_and_si256(_mm256_shuffle_epi8(t.byte_1_high, high_nibble(prev1)),
                         _mm256_shuffle_epi8(t.byte_1_low, _mm256_and_si256(prev1, _mm256_set1_epi8(0x0F)))),
        _mm256_shuffle_epi8(t.byte_2_high, high_nibble(input)));
    const __m256i prev2 = before<2>(input, prev);
    const __m256i prev3 = before<3>(input, prev);
    // Only a byte two back of 0xE0 or more, or three back of 0xF0 or
    // more, comes out with its high bit set.
    const __m256i third = _mm256_subs_epu8(prev2, _mm256_set1_epi8(static_cast<char>(0xE0 - 0x80)));
    const __m256i fourth = _mm256_subs_epu8(prev3, _mm256_set1_epi8(static_cast<char>(0xF0 - 0x80)));
    const __m256i must_continue =
        _mm256_and_si256(_mm256_or_si256(third, fourth), _mm256_set1_epi8(static_cast<char>(0x80)));
    error = _mm256_or_si256(error, _mm256_xor_si256(must_continue, special));
    prev_incomplete = _mm256_subs_epu8(input, t.incomplete_above);
    prev = input;
}

}  // namespace

bool valid_utf8(const char* data, std::size_t n) noexcept {
    const Tables t = tables();
    __m256i prev = _mm256_setzero_si256(), prev_incomplete = _mm256_setzero_si256(), error = _mm256_setzero_si256();
    std::size_t i = 0;
    // Errors are gathered, and looked at every 1 KB: valid text, the usual
    // case, pays for no branch per block.
    while (i + 32 <= n) {
        const std::size_t stop = i + 1024 <= n ? i + 1024 : n;
        for (; i + 64 <= stop; i += 64) {
            const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + i));
            const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + i + 32));
            if (_mm256_movemask_epi8(_mm256_or_si256(a, b)) == 0) {
                // ASCII: only a sequence left open before it can be wrong.
                error = _mm256_or_si256(error, prev_incomplete);
                prev_incomplete = _mm256_setzero_si256();
                prev = b;
            } else {
                check_block(t, a, prev, prev_incomplete, error);
                check_block(t, b, prev, prev_incomplete, error);
            }
        }
        for (; i + 32 <= stop; i += 32) {
            check_block(t, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(data + i)), prev, prev_incomplete, error);
        }
        if (!_mm256_testz_si256(error, error)) return false;
    }
    // The tail, padded with ASCII (a block of it when there is none): a
    // sequence cut by the end meets a byte that does not continue it.
    alignas(32) char tail[32] = {};
    if (n > i) std::memcpy(tail, data + i, n - i);
    check_block(t, _mm256_load_si256(reinterpret_cast<const __m256i*>(tail)), prev, prev_incomplete, error);
    return _mm256_testz_si256(error, error) != 0;
}


// ---- UTF-8 from code units ---------------------------------------------------
//
// Eight code points at a time, each widened to a 32-bit lane that holds its
// UTF-8 bytes in memory order (lead byte first), then each half of four
// lanes packed down to its bytes by one shuffle from a table indexed by the
// four lengths.

namespace {

// Lane i of an index has 1 + bit i + 2 * bit (4 + i) bytes.
struct PackTable {
    alignas(16) std::uint8_t shuffle[256][16];
    std::uint8_t length[256];
};

constexpr PackTable make_pack_table() {
    PackTable t{};
    for (int idx = 0; idx < 256; ++idx) {
        int out = 0;
        for (int lane = 0; lane < 4; ++lane) {
            const int len = 1 + ((idx >> lane) & 1) + 2 * ((idx >> (4 + lane)) & 1);
            for (int k = 0; k < len; ++k) t.shuffle[idx][out++] = static_cast<std::uint8_t>(4 * lane + k);
        }
        t.length[idx] = static_cast<std::uint8_t>(out);
        for (int k = out; k < 16; ++k) t.shuffle[idx][k] = 0x80;
    }
    return t;
}

constexpr PackTable kPack = make_pack_table();

template <class Unit>
inline __m256i widen8(const Unit* p) {
    if constexpr (sizeof(Unit) == 1) {
        return _mm256_cvtepu8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)));
    } else if constexpr (sizeof(Unit) == 2) {
        return _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
    } else {
        return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    }
}

// Whether the 32 bytes at p hold only ASCII units, and if so their bytes at o
// (32 / sizeof(Unit) of them).
template <class Unit>
inline bool ascii32(const Unit* p, unsigned char* o) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
    if constexpr (sizeof(Unit) == 1) {
        if (_mm256_movemask_epi8(v) != 0) return false;
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(o), v);
    } else if constexpr (sizeof(Unit) == 2) {
        if (!_mm256_testz_si256(v, _mm256_set1_epi16(static_cast<short>(0xFF80)))) return false;
        const __m128i lo = _mm256_castsi256_si128(v), hi = _mm256_extracti128_si256(v, 1);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(o), _mm_packus_epi16(lo, hi));
    } else {
        if (!_mm256_testz_si256(v, _mm256_set1_epi32(~0x7F))) return false;
        const __m128i lo = _mm256_castsi256_si128(v), hi = _mm256_extracti128_si256(v, 1);
        const __m128i w = _mm_packs_epi32(lo, hi);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(o), _mm_packus_epi16(w, w));
    }
    return true;
}

// The UTF-8 of eight code points at o; 32 bytes from o may be written.
// Surrogates are marked in `bad` (their bytes are garbage).
inline unsigned char* encode8(__m256i c, unsigned char* o, __m256i& bad) {
    bad = _mm256_or_si256(bad, _mm256_cmpeq_epi32(_mm256_and_si256(c, _mm256_set1_epi32(~0x7FF)),
                                                  _mm256_set1_epi32(0xD800)));
    const __m256i ge80 = _mm256_cmpgt_epi32(c, _mm256_set1_epi32(0x7F));
    const __m256i ge800 = _mm256_cmpgt_epi32(c, _mm256_set1_epi32(0x7FF));
    const __m256i ge10000 = _mm256_cmpgt_epi32(c, _mm256_set1_epi32(0xFFFF));
    const __m256i low6 = _mm256_set1_epi32(0x3F), cont = _mm256_set1_epi32(0x80);
    const __m256i s6 = _mm256_srli_epi32(c, 6), s12 = _mm256_srli_epi32(c, 12), s18 = _mm256_srli_epi32(c, 18);
    const __m256i p0 = _mm256_or_si256(_mm256_and_si256(c, low6), cont);
    const __m256i p6 = _mm256_or_si256(_mm256_and_si256(s6, low6), cont);
    const __m256i p12 = _mm256_or_si256(_mm256_and_si256(s12, low6), cont);
    const __m256i two = _mm256_or_si256(_mm256_or_si256(s6, _mm256_set1_epi32(0xC0)), _mm256_slli_epi32(p0, 8));
    const __m256i three = _mm256_or_si256(_mm256_or_si256(s12, _mm256_set1_epi32(0xE0)),
                                          _mm256_or_si256(_mm256_slli_epi32(p6, 8), _mm256_slli_epi32(p0, 16)));
    const __m256i four = _mm256_or_si256(
        _mm256_or_si256(s18, _mm256_set1_epi32(0xF0)),
        _mm256_or_si256(_mm256_slli_epi32(p12, 8), _mm256_or_si256(_mm256_slli_epi32(p6, 16), _mm256_slli_epi32(p0, 24))));
    __m256i r = _mm256_blendv_epi8(c, two, ge80);
    r = _mm256_blendv_epi8(r, three, ge800);
    r = _mm256_blendv_epi8(r, four, ge10000);
    // Lengths are nested (4 bytes implies 3 implies 2): bit 0 of length - 1
    // is the parity of the three tests, bit 1 the middle one.
    const unsigned a = static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(ge80)));
    const unsigned b = static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(ge800)));
    const unsigned d = static_cast<unsigned>(_mm256_movemask_ps(_mm256_castsi256_ps(ge10000)));
    const unsigned odd = a ^ b ^ d;
    const unsigned lo_idx = (odd & 0xF) | ((b & 0xF) << 4);
    const unsigned hi_idx = (odd >> 4) | (b & 0xF0);
    const __m128i lo = _mm_shuffle_epi8(_mm256_castsi256_si128(r),
                                        _mm_load_si128(reinterpret_cast<const __m128i*>(kPack.shuffle[lo_idx])));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o), lo);
    o += kPack.length[lo_idx];
    const __m128i hi = _mm_shuffle_epi8(_mm256_extracti128_si256(r, 1),
                                        _mm_load_si128(reinterpret_cast<const __m128i*>(kPack.shuffle[hi_idx])));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(o), hi);
    return o + kPack.length[hi_idx];
}

inline unsigned char* encode1(std::uint32_t c, unsigned char* o) {
    if (c < 0x80) {
        *o++ = static_cast<unsigned char>(c);
    } else if (c < 0x800) {
        *o++ = static_cast<unsigned char>(0xC0 | (c >> 6));
        *o++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        *o++ = static_cast<unsigned char>(0xE0 | (c >> 12));
        *o++ = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
        *o++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
    } else {
        *o++ = static_cast<unsigned char>(0xF0 | (c >> 18));
        *o++ = static_cast<unsigned char>(0x80 | ((c >> 12) & 0x3F));
        *o++ = static_cast<unsigned char>(0x80 | ((c >> 6) & 0x3F));
        *o++ = static_cast<unsigned char>(0x80 | (c & 0x3F));
    }
    return o;
}

// The vector steps run while 32 bytes of room are left; the last few code
// points go one at a time. SIZE_MAX at a surrogate.
template <class Unit>
std::size_t write_units(const Unit* u, std::size_t n, unsigned char* const out, unsigned char* end) {
    constexpr std::size_t kAscii = 32 / sizeof(Unit);
    unsigned char* o = out;
    __m256i bad = _mm256_setzero_si256();
    std::size_t i = 0;
    while (i + kAscii <= n && end - o >= 32) {
        if (ascii32(u + i, o)) {
            i += kAscii;
            o += kAscii;
            continue;
        }
        // Not ASCII: encode what is there, then try ASCII again.
        for (std::size_t k = 0; k < kAscii / 8 && end - o >= 32; ++k, i += 8) o = encode8(widen8(u + i), o, bad);
    }
    while (i + 8 <= n && end - o >= 32) {
        o = encode8(widen8(u + i), o, bad);
        i += 8;
    }
    for (; i < n; ++i) {
        const std::uint32_t c = u[i];
        if (c >= 0xD800 && c <= 0xDFFF) return SIZE_MAX;
        o = encode1(c, o);
    }
    if (!_mm256_testz_si256(bad, bad)) return SIZE_MAX;
    return static_cast<std::size_t>(o - out);
}

}  // namespace

std::size_t write_utf8(const void* units, std::size_t n, int unit_bytes, unsigned char* out,
                       unsigned char* end) noexcept {
    switch (unit_bytes) {
        case 1: return write_units(static_cast<const std::uint8_t*>(units), n, out, end);
        case 2: return write_units(static_cast<const std::uint16_t*>(units), n, out, end);
        default: return write_units(static_cast<const std::uint32_t*>(units), n, out, end);
    }
}

bool utf8_size_of_ucs4(const std::uint32_t* u, std::size_t n, std::size_t& bytes) noexcept {
    std::size_t total = n, i = 0;
    __m256i bad = _mm256_setzero_si256();
    while (i + 8 <= n) {
        // 32-bit lane counters, at most 3 per unit: summed long before they could wrap.
        __m256i extra = _mm256_setzero_si256();
        for (int round = 0; round < (1 << 24) && i + 8 <= n; ++round, i += 8) {
            const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(u + i));
            extra = _mm256_sub_epi32(extra, _mm256_cmpgt_epi32(c, _mm256_set1_epi32(0x7F)));
            extra = _mm256_sub_epi32(extra, _mm256_cmpgt_epi32(c, _mm256_set1_epi32(0x7FF)));
            extra = _mm256_sub_epi32(extra, _mm256_cmpgt_epi32(c, _mm256_set1_epi32(0xFFFF)));
            bad = _mm256_or_si256(bad, _mm256_cmpeq_epi32(_mm256_and_si256(c, _mm256_set1_epi32(~0x7FF)),
                                                          _mm256_set1_epi32(0xD800)));
        }
        alignas(32) std::uint32_t lanes[8];
        _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), extra);
        for (const std::uint32_t v : lanes) total += v;
    }
    if (!_mm256_testz_si256(bad, bad)) return false;
    for (; i < n; ++i) {
        const std::uint32_t c = u[i];
        if (c >= 0xD800 && c <= 0xDFFF) return false;
        total += (c >= 0x80) + (c >= 0x800) + (c >= 0x10000);
    }
    bytes = total;
    return true;
}

}  // namespace arbolite::kernel_avx2

#include "core/simd/avx2_region_end.inl"
