#include "core/text/utf8.hpp"

#include <cstdint>
#include <cstring>

namespace arbolite {

bool is_valid_utf8(std::string_view text) noexcept {
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n) {
        // Most XML is ASCII: skip it eight bytes at a time.
        while (i + 8 <= n) {
            std::uint64_t word;
            std::memcpy(&word, s + i, 8);
            if (word & 0x8080808080808080ULL) break;
            i += 8;
        }
        if (i >= n) break;
        const unsigned char c = s[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t len;
        unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
        if (c >= 0xC2 && c <= 0xDF) {
            len = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            len = 3;
            if (c == 0xE0) lo = 0xA0;       // overlong
            if (c == 0xED) hi = 0x9F;       // surrogates
        } else if (c >= 0xF0 && c <= 0xF4) {
            len = 4;
            if (c == 0xF0) lo = 0x90;       // overlong
            if (c == 0xF4) hi = 0x8F;       // above U+10FFFF
        } else {
            return false;
        }
        if (i + len > n) return false;
        if (s[i + 1] < lo || s[i + 1] > hi) return false;
        for (std::size_t k = 2; k < len; ++k) {
            if ((s[i + k] & 0xC0) != 0x80) return false;
        }
        i += len;
    }
    return true;
}

}  // namespace arbolite

namespace arbolite {
namespace {

template <class Unit>
bool units_to_utf8(const Unit* u, std::size_t n, ByteBuffer& out) {
    // Exact size first, so the text is written once into a buffer that fits.
    std::size_t bytes = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint32_t c = u[i];
        if (c < 0x80) {
            bytes += 1;
        } else if (c < 0x800) {
            bytes += 2;
        } else if (c < 0x10000) {
            if (c >= 0xD800 && c <= 0xDFFF) return false;
            bytes += 3;
        } else {
            bytes += 4;
        }
    }
    ByteBuffer buf;
    buf.resize(bytes);
    auto* o = reinterpret_cast<unsigned char*>(buf.data());
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint32_t c = u[i];
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
    }
    out = std::move(buf);
    return true;
}

template <class Unit>
void utf8_to(std::string_view text, Unit* o) noexcept {
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n) {
        const unsigned char c = s[i];
        if (c < 0x80) {
            *o++ = c;
            i += 1;
        } else if (c < 0xE0) {
            *o++ = static_cast<Unit>(((c & 0x1F) << 6) | (s[i + 1] & 0x3F));
            i += 2;
        } else if (c < 0xF0) {
            *o++ = static_cast<Unit>(((c & 0x0F) << 12) | ((s[i + 1] & 0x3F) << 6) | (s[i + 2] & 0x3F));
            i += 3;
        } else {
            *o++ = static_cast<Unit>(((c & 0x07) << 18) | ((s[i + 1] & 0x3F) << 12) | ((s[i + 2] & 0x3F) << 6) |
                                     (s[i + 3] & 0x3F));
            i += 4;
        }
    }
}

}  // namespace

bool utf8_from_units(const void* units, std::size_t length, int unit_bytes, ByteBuffer& out) {
    switch (unit_bytes) {
        case 1: return units_to_utf8(static_cast<const std::uint8_t*>(units), length, out);
        case 2: return units_to_utf8(static_cast<const std::uint16_t*>(units), length, out);
        default: return units_to_utf8(static_cast<const std::uint32_t*>(units), length, out);
    }
}

Utf8Shape utf8_shape(std::string_view text) noexcept {
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t n = text.size();
    std::size_t continuation = 0;
    unsigned char max_lead = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const unsigned char c = s[i];
        continuation += (c & 0xC0) == 0x80;
        if (c > max_lead) max_lead = c;
    }
    Utf8Shape shape;
    shape.code_points = n - continuation;
    if (max_lead >= 0xF0) {
        shape.max_code_point = 0x10FFFF;
    } else if (max_lead >= 0xC4) {
        shape.max_code_point = 0xFFFF;  // U+0100 and up; C2 and C3 lead only U+0080..U+00FF
    } else if (max_lead >= 0x80) {
        shape.max_code_point = 0xFF;
    }
    return shape;
}

void utf8_to_units(std::string_view text, void* units, int unit_bytes) noexcept {
    switch (unit_bytes) {
        case 1: utf8_to(text, static_cast<std::uint8_t*>(units)); break;
        case 2: utf8_to(text, static_cast<std::uint16_t*>(units)); break;
        default: utf8_to(text, static_cast<std::uint32_t*>(units)); break;
    }
}

}  // namespace arbolite
