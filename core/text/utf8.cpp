#include "core/text/utf8.hpp"

#include <emmintrin.h>

#include "core/base/cpu.hpp"
#include "core/text/utf8_kernels.hpp"

#include <algorithm>
#include <cstring>
#include <new>

namespace arbolite {
namespace {

// Whether the 16 bytes at p are all ASCII.
inline bool ascii16(const unsigned char* p) noexcept {
    return _mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))) == 0;
}

// Length of the valid sequence that starts at s[i] (a byte >= 0x80), or 0.
inline std::size_t sequence_length(const unsigned char* s, std::size_t i, std::size_t n) noexcept {
    const unsigned char c = s[i];
    std::size_t len;
    unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
        len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        len = 3;
        if (c == 0xE0) lo = 0xA0;  // overlong
        if (c == 0xED) hi = 0x9F;  // surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4;
        if (c == 0xF0) lo = 0x90;  // overlong
        if (c == 0xF4) hi = 0x8F;  // above U+10FFFF
    } else {
        return 0;
    }
    if (i + len > n) return 0;
    if (s[i + 1] < lo || s[i + 1] > hi) return 0;
    for (std::size_t k = 2; k < len; ++k) {
        if ((s[i + k] & 0xC0) != 0x80) return 0;
    }
    return len;
}

// Whether the 16 (8) units at p are all ASCII.
inline bool ascii16_ucs2(const std::uint16_t* p) noexcept {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 8));
    const __m128i high = _mm_set1_epi16(static_cast<short>(0xFF80));
    return _mm_movemask_epi8(_mm_cmpeq_epi16(_mm_and_si128(_mm_or_si128(a, b), high), _mm_setzero_si128())) == 0xFFFF;
}
inline bool ascii8_ucs4(const std::uint32_t* p) noexcept {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 4));
    const __m128i high = _mm_set1_epi32(static_cast<int>(0xFFFFFF80u));
    return _mm_movemask_epi8(_mm_cmpeq_epi32(_mm_and_si128(_mm_or_si128(a, b), high), _mm_setzero_si128())) == 0xFFFF;
}

// UTF-8 bytes of 16-bit units, sixteen at a time: one byte each, one more
// from U+0080, one more from U+0800. False at a surrogate.
bool utf8_size_of_ucs2(const std::uint16_t* u, std::size_t n, std::size_t& bytes) noexcept {
    const __m128i bias = _mm_set1_epi16(static_cast<short>(0x8000));
    // Signed compares of biased values stand in for unsigned ones.
    const __m128i from_80 = _mm_set1_epi16(static_cast<short>(0x007F ^ 0x8000));
    const __m128i from_800 = _mm_set1_epi16(static_cast<short>(0x07FF ^ 0x8000));
    const __m128i surrogate_mask = _mm_set1_epi16(static_cast<short>(0xF800));
    const __m128i surrogate = _mm_set1_epi16(static_cast<short>(0xD800));
    std::size_t extra = 0, i = 0;
    while (i + 8 <= n) {
        __m128i counts = _mm_setzero_si128();
        __m128i bad = _mm_setzero_si128();
        // 16-bit lane counters: at most 2 per unit, summed before they can pass 32767.
        for (int round = 0; round < 8192 && i + 8 <= n; ++round, i += 8) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(u + i));
            const __m128i b = _mm_xor_si128(v, bias);
            counts = _mm_sub_epi16(counts, _mm_cmpgt_epi16(b, from_80));
            counts = _mm_sub_epi16(counts, _mm_cmpgt_epi16(b, from_800));
            bad = _mm_or_si128(bad, _mm_cmpeq_epi16(_mm_and_si128(v, surrogate_mask), surrogate));
        }
        if (_mm_movemask_epi8(bad)) return false;
        alignas(16) std::uint16_t lanes[8];
        _mm_store_si128(reinterpret_cast<__m128i*>(lanes), counts);
        for (std::uint16_t c : lanes) extra += c;
    }
    for (; i < n; ++i) {
        const std::uint32_t c = u[i];
        if (c >= 0xD800 && c <= 0xDFFF) return false;
        extra += (c >= 0x80) + (c >= 0x800);
    }
    bytes = n + extra;
    return true;
}

// An ASCII block of `kBlock<Unit>` units at p: whether it is one, and its bytes.
template <class Unit>
constexpr std::size_t kBlock = sizeof(Unit) == 4 ? 8 : 16;

template <class Unit>
inline bool ascii_block(const Unit* p) noexcept {
    if constexpr (sizeof(Unit) == 1) return ascii16(p);
    else if constexpr (sizeof(Unit) == 2) return ascii16_ucs2(p);
    else return ascii8_ucs4(p);
}

template <class Unit>
inline void store_block(const Unit* p, unsigned char* o) noexcept {
    if constexpr (sizeof(Unit) == 1) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(o), _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
    } else if constexpr (sizeof(Unit) == 2) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 8));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(o), _mm_packus_epi16(a, b));
    } else {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 4));
        const __m128i w = _mm_packs_epi32(a, b);  // below 0x80: no saturation
        _mm_storel_epi64(reinterpret_cast<__m128i*>(o), _mm_packus_epi16(w, w));
    }
}

// Texts up to this many code units are converted in one pass into room for
// their longest form; past it the exact size is counted first, so that a
// huge text never asks for up to four times its UTF-8 size.
constexpr std::size_t kOnePassUnits = std::size_t{64} << 20;

// Both passes go unit by unit, and try a whole ASCII block at the start of
// each ASCII run. A failed try means a non-ASCII unit lies within the block,
// so the next try waits until past it: text that is mostly not ASCII, with
// markup between its characters, pays for one try per block, not per unit.
template <class Unit>
bool units_to_utf8(const Unit* u, std::size_t n, ByteBuffer& out) {
    constexpr std::size_t B = kBlock<Unit>;
    const bool avx2 = cpu::active_kernel() == cpu::Kernel::Avx2;
    if (avx2 && n <= kOnePassUnits) {
        // Room for the longest form, written in one pass: pages never
        // written are never touched, and the size pass costs more than the writing.
        constexpr std::size_t kMost = sizeof(Unit) == 1 ? 2 : sizeof(Unit) == 2 ? 3 : 4;
        ByteBuffer buf;
        buf.reserve(std::max<std::size_t>(n * kMost, 1));
        auto* o = reinterpret_cast<unsigned char*>(buf.data());
        const std::size_t written = kernel_avx2::write_utf8(u, n, sizeof(Unit), o, o + n * kMost);
        if (written == SIZE_MAX) return false;
        buf.resize(written);
        out = std::move(buf);
        return true;
    }
    // Exact size first, so the text is written once into a buffer that fits.
    std::size_t bytes = 0;
    if constexpr (sizeof(Unit) == 2) {
        if (!utf8_size_of_ucs2(u, n, bytes)) return false;
    } else if (sizeof(Unit) == 4 && avx2) {
        if (!kernel_avx2::utf8_size_of_ucs4(reinterpret_cast<const std::uint32_t*>(u), n, bytes)) return false;
    } else {
        std::size_t next_try = 0;
        for (std::size_t i = 0; i < n;) {
            const std::uint32_t c = u[i];
            if (c < 0x80) {
                if (i >= next_try && i + B <= n) {
                    if (ascii_block(u + i)) {
                        bytes += B;
                        i += B;
                        continue;
                    }
                    next_try = i + B;
                }
                ++bytes;
            } else if (c < 0x800) {
                bytes += 2;
            } else if (c < 0x10000) {
                if (c >= 0xD800 && c <= 0xDFFF) return false;
                bytes += 3;
            } else {
                bytes += 4;
            }
            ++i;
        }
    }
    ByteBuffer buf;
    buf.resize(bytes);
    auto* o = reinterpret_cast<unsigned char*>(buf.data());
    if (avx2) {
        kernel_avx2::write_utf8(u, n, sizeof(Unit), o, o + bytes);
        out = std::move(buf);
        return true;
    }
    std::size_t next_try = 0;
    for (std::size_t i = 0; i < n;) {
        const std::uint32_t c = u[i];
        if (c < 0x80) {
            if (i >= next_try && i + B <= n) {
                if (ascii_block(u + i)) {
                    store_block(u + i, o);
                    o += B;
                    i += B;
                    continue;
                }
                next_try = i + B;
            }
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
        ++i;
    }
    out = std::move(buf);
    return true;
}

template <class Unit>
bool utf8_to(std::string_view text, Unit* o, Unit* const o_end) noexcept {
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    const __m128i zero = _mm_setzero_si128();
    std::size_t i = 0;
    while (i < n) {
        if (s[i] < 0x80) {
            // An ASCII run: sixteen at a time while the block is all ASCII.
            if (i + 16 <= n && o_end - o >= 16) {
                const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
                const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(v));
                if (mask == 0) {
                    if constexpr (sizeof(Unit) == 1) {
                        _mm_storeu_si128(reinterpret_cast<__m128i*>(o), v);
                    } else if constexpr (sizeof(Unit) == 2) {
                        _mm_storeu_si128(reinterpret_cast<__m128i*>(o), _mm_unpacklo_epi8(v, zero));
                        _mm_storeu_si128(reinterpret_cast<__m128i*>(o + 8), _mm_unpackhi_epi8(v, zero));
                    } else {
                        const __m128i lo = _mm_unpacklo_epi8(v, zero), hi = _mm_unpackhi_epi8(v, zero);
                        _mm_storeu_si128(reinterpret_cast<__m128i*>(o), _mm_unpacklo_epi16(lo, zero));
                        _mm_storeu_si128(reinterpret_cast<__m128i*>(o + 4), _mm_unpackhi_epi16(lo, zero));
                        _mm_storeu_si128(reinterpret_cast<__m128i*>(o + 8), _mm_unpacklo_epi16(hi, zero));
                        _mm_storeu_si128(reinterpret_cast<__m128i*>(o + 12), _mm_unpackhi_epi16(hi, zero));
                    }
                    o += 16;
                    i += 16;
                    continue;
                }
                const std::size_t ascii = static_cast<std::size_t>(__builtin_ctz(mask));
                for (std::size_t k = 0; k < ascii; ++k) *o++ = s[i + k];
                i += ascii;
            } else {
                if (o == o_end) return false;
                *o++ = s[i++];
                continue;
            }
        }
        // A run of multi-byte sequences, each checked as it is decoded: the
        // continuation bytes, and the ranges that rule out overlong forms,
        // surrogates and values past U+10FFFF.
        while (i < n && s[i] >= 0x80) {
            if (o == o_end) return false;
            const unsigned c = s[i];
            std::uint32_t cp;
            if (c >= 0xC2 && c < 0xE0) {
                if (i + 2 > n || (s[i + 1] & 0xC0) != 0x80) return false;
                cp = ((c & 0x1Fu) << 6) | (s[i + 1] & 0x3Fu);
                i += 2;
            } else if (c >= 0xE0 && c < 0xF0) {
                if (i + 3 > n || ((s[i + 1] & 0xC0) != 0x80) | ((s[i + 2] & 0xC0) != 0x80)) return false;
                cp = ((c & 0x0Fu) << 12) | ((s[i + 1] & 0x3Fu) << 6) | (s[i + 2] & 0x3Fu);
                if (cp < 0x800 || (cp >= 0xD800 && cp < 0xE000)) return false;
                i += 3;
            } else if (c >= 0xF0 && c < 0xF5) {
                if (i + 4 > n || ((s[i + 1] & 0xC0) != 0x80) | ((s[i + 2] & 0xC0) != 0x80) |
                                     ((s[i + 3] & 0xC0) != 0x80)) {
                    return false;
                }
                cp = ((c & 0x07u) << 18) | ((s[i + 1] & 0x3Fu) << 12) | ((s[i + 2] & 0x3Fu) << 6) | (s[i + 3] & 0x3Fu);
                if (cp < 0x10000 || cp > 0x10FFFF) return false;
                i += 4;
            } else {
                return false;
            }
            if constexpr (sizeof(Unit) < 4) {
                if (cp >= (std::uint32_t{1} << (8 * sizeof(Unit)))) return false;
            }
            *o++ = static_cast<Unit>(cp);
        }
    }
    return o == o_end;
}

}  // namespace

namespace {

std::size_t first_error(std::string_view text) noexcept {
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n) {
        if (s[i] < 0x80) {
            if (i + 16 <= n) {
                const unsigned mask =
                    static_cast<unsigned>(_mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i))));
                i += mask ? static_cast<std::size_t>(__builtin_ctz(mask)) : 16;
            } else {
                ++i;
            }
            continue;
        }
        while (i < n && s[i] >= 0x80) {
            const std::size_t len = sequence_length(s, i, n);
            if (len == 0) return i;
            i += len;
        }
    }
    return n;
}

}  // namespace

bool is_valid_utf8(std::string_view text) noexcept { return utf8_error_offset(text) == text.size(); }

// The vector check answers only yes or no: text that fails it, which is
// rare, is gone through again to find where.
std::size_t utf8_error_offset(std::string_view text) noexcept {
    if (cpu::active_kernel() == cpu::Kernel::Avx2 && kernel_avx2::valid_utf8(text.data(), text.size())) {
        return text.size();
    }
    return first_error(text);
}

Utf8Shape utf8_shape(std::string_view text) noexcept {
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    // Continuation bytes are 0x80..0xBF: as signed bytes, below -64.
    const __m128i limit = _mm_set1_epi8(static_cast<char>(0xC0));
    __m128i max = _mm_setzero_si128();
    std::size_t continuation = 0, i = 0;
    // Byte counters, summed into 64-bit lanes before any can pass 255.
    while (i + 16 <= n) {
        __m128i counts = _mm_setzero_si128();
        for (int round = 0; round < 255 && i + 16 <= n; ++round, i += 16) {
            const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i));
            max = _mm_max_epu8(max, v);
            counts = _mm_sub_epi8(counts, _mm_cmplt_epi8(v, limit));
        }
        const __m128i sums = _mm_sad_epu8(counts, _mm_setzero_si128());
        continuation += static_cast<std::size_t>(_mm_cvtsi128_si64(sums) + _mm_cvtsi128_si64(_mm_unpackhi_epi64(sums, sums)));
    }
    alignas(16) unsigned char lanes[16];
    _mm_store_si128(reinterpret_cast<__m128i*>(lanes), max);
    unsigned char max_byte = 0;
    for (unsigned char b : lanes) max_byte = b > max_byte ? b : max_byte;
    for (; i < n; ++i) {
        continuation += (s[i] & 0xC0) == 0x80;
        max_byte = s[i] > max_byte ? s[i] : max_byte;
    }
    Utf8Shape shape;
    shape.code_points = n - continuation;
    if (max_byte >= 0xF0) {
        shape.max_code_point = 0x10FFFF;
    } else if (max_byte >= 0xC4) {
        shape.max_code_point = 0xFFFF;  // U+0100 and up; C2 and C3 lead only U+0080..U+00FF
    } else if (max_byte >= 0x80) {
        shape.max_code_point = 0xFF;
    }
    return shape;
}

bool utf8_from_units(const void* units, std::size_t length, int unit_bytes, ByteBuffer& out) {
    switch (unit_bytes) {
        case 1: return units_to_utf8(static_cast<const std::uint8_t*>(units), length, out);
        case 2: return units_to_utf8(static_cast<const std::uint16_t*>(units), length, out);
        default: return units_to_utf8(static_cast<const std::uint32_t*>(units), length, out);
    }
}

bool utf8_to_units(std::string_view text, const Utf8Shape& shape, void* units, int unit_bytes) noexcept {
    const std::size_t n = shape.code_points;
    switch (unit_bytes) {
        case 1: {
            auto* o = static_cast<std::uint8_t*>(units);
            return utf8_to(text, o, o + n);
        }
        case 2: {
            auto* o = static_cast<std::uint16_t*>(units);
            return utf8_to(text, o, o + n);
        }
        default: {
            auto* o = static_cast<std::uint32_t*>(units);
            return utf8_to(text, o, o + n);
        }
    }
}

}  // namespace arbolite
