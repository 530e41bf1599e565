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

#include <cstring>

#include "core/text/utf8_kernels.hpp"

#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif

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

}  // namespace arbolite::kernel_avx2

#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif
