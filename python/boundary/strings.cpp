#include "python/boundary/strings.hpp"

#include <emmintrin.h>

#include <cstdint>
#include <cstring>

#include "core/text/utf8.hpp"
#include "core/tree/node.hpp"
#include "python/boundary/error.hpp"

namespace arbolite {

object new_str(std::string_view text) {
    return steal(check_created(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()))));
}

object stored_str(std::string_view text) {
    const std::size_t n = text.size();
    // Empty and one-character strs are the interpreter's shared ones.
    if (n >= 2 && n <= 16) {
        static_assert(kReadSlack >= 16);
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text.data()));
        const unsigned high = static_cast<unsigned>(_mm_movemask_epi8(v)) & ((1u << n) - 1);
        if (high == 0) {
            PyObject* s = check_created(PyUnicode_New(static_cast<Py_ssize_t>(n), 127));
            std::memcpy(PyUnicode_DATA(s), text.data(), n);
            return steal(s);
        }
    }
    if (n >= 2) {
        // The module's texts are valid UTF-8: their shape, then the str in
        // its final width, instead of a decoder that widens as it goes.
        const Utf8Shape shape = utf8_shape(text);
        object s = steal(check_created(PyUnicode_New(static_cast<Py_ssize_t>(shape.code_points),
                                                     static_cast<Py_UCS4>(shape.max_code_point))));
        if (utf8_to_units(text, shape, PyUnicode_DATA(s.ptr()), PyUnicode_KIND(s.ptr()))) return s;
    }
    return new_str(text);
}

static_assert(kReadSlack >= 32, "a name is read as a whole block of the cache's key length");

object NameCache::get(std::string_view text) {
    const std::size_t n = text.size();
    if (n < 2 || n > kMaxLen) return stored_str(text);
    // The name and its zero padding are built in registers: padding written
    // byte by byte to memory and read back as words stalls every lookup.
    const __m128i len = _mm_set1_epi8(static_cast<char>(n));
    const __m128i low = _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(text.data())),
                                      _mm_cmpgt_epi8(len, _mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15)));
    const __m128i high = _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(text.data() + 16)),
                                       _mm_cmpgt_epi8(len, _mm_setr_epi8(16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27,
                                                                         28, 29, 30, 31)));
    const std::uint64_t w0 = static_cast<std::uint64_t>(_mm_cvtsi128_si64(low));
    const std::uint64_t w1 = static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(low, low)));
    const std::uint64_t w2 = static_cast<std::uint64_t>(_mm_cvtsi128_si64(high));
    const std::uint64_t w3 = static_cast<std::uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(high, high)));
    std::uint64_t h = (w0 * 0x9E3779B97F4A7C15ULL) ^ (w1 * 0xC2B2AE3D27D4EB4FULL) ^ (w2 * 0x165667B19E3779F9ULL) ^
                      (w3 * 0x27D4EB2F165667C5ULL) ^ n;
    h ^= h >> 29;
    h *= 0xBF58476D1CE4E5B9ULL;
    Slot& slot = slots_[(h >> 32) & (kSlots - 1)];
    const __m128i same = _mm_and_si128(_mm_cmpeq_epi8(low, _mm_loadu_si128(reinterpret_cast<const __m128i*>(slot.bytes))),
                                       _mm_cmpeq_epi8(high, _mm_loadu_si128(reinterpret_cast<const __m128i*>(slot.bytes + 16))));
    if (slot.str && slot.len == n && _mm_movemask_epi8(same) == 0xFFFF) return borrow(slot.str);
    object made = stored_str(text);
    PyObject* old = slot.str;
    slot.str = borrow(made.ptr()).release();
    slot.len = n;
    _mm_storeu_si128(reinterpret_cast<__m128i*>(slot.bytes), low);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(slot.bytes + 16), high);
    Py_XDECREF(old);  // a str's release runs no Python code
    return made;
}

bool NameCache::fill() noexcept {
    static constexpr const char* kKeys[kKeyCount] = {"name", "attrs", "children", "text"};
    for (int k = 0; k < kKeyCount; ++k) {
        if (!keys_[k] && !(keys_[k] = PyUnicode_InternFromString(kKeys[k]))) return false;
    }
    return true;
}

void NameCache::clear() noexcept {
    for (Slot& slot : slots_) Py_CLEAR(slot.str);
    for (PyObject*& k : keys_) Py_CLEAR(k);
}

}  // namespace arbolite
