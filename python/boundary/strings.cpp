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
    alignas(16) unsigned char key[kMaxLen];
    std::memcpy(key, text.data(), kMaxLen);  // within the node string's slack
    std::memset(key + n, 0, kMaxLen - n);
    std::uint64_t w[4];
    std::memcpy(w, key, sizeof w);
    std::uint64_t h = (w[0] * 0x9E3779B97F4A7C15ULL) ^ (w[1] * 0xC2B2AE3D27D4EB4FULL) ^
                      (w[2] * 0x165667B19E3779F9ULL) ^ (w[3] * 0x27D4EB2F165667C5ULL) ^ n;
    h ^= h >> 29;
    h *= 0xBF58476D1CE4E5B9ULL;
    Slot& slot = slots_[(h >> 32) & (kSlots - 1)];
    if (slot.str && slot.len == n && std::memcmp(slot.bytes, key, kMaxLen) == 0) return borrow(slot.str);
    object made = stored_str(text);
    PyObject* old = slot.str;
    slot.str = borrow(made.ptr()).release();
    slot.len = n;
    std::memcpy(slot.bytes, key, kMaxLen);
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
