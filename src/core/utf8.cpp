#include "src/core/utf8.hpp"

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
