#include "core/text/white_space.hpp"

namespace arbolite {

std::size_t white_space_at(std::string_view t, std::size_t i) noexcept {
    const std::size_t n = t.size();
    const auto b = [&](std::size_t k) { return static_cast<unsigned char>(t[k]); };
    const unsigned char c = b(i);
    if (c == ' ' || (c >= 0x09 && c <= 0x0D)) return 1;
    if (c < 0x80) return 0;
    if (c == 0xC2) return i + 1 < n && (b(i + 1) == 0x85 || b(i + 1) == 0xA0) ? 2 : 0;
    if (c < 0xE1 || c > 0xE3 || i + 2 >= n) return 0;
    const unsigned char c1 = b(i + 1), c2 = b(i + 2);
    if (c == 0xE1) return c1 == 0x9A && c2 == 0x80 ? 3 : 0;  // U+1680
    if (c == 0xE3) return c1 == 0x80 && c2 == 0x80 ? 3 : 0;  // U+3000
    if (c1 == 0x80) {
        // U+2000..U+200A, U+2028, U+2029, U+202F
        return (c2 >= 0x80 && c2 <= 0x8A) || c2 == 0xA8 || c2 == 0xA9 || c2 == 0xAF ? 3 : 0;
    }
    return c1 == 0x81 && c2 == 0x9F ? 3 : 0;  // U+205F
}

std::size_t leading_white_space(std::string_view t) noexcept {
    std::size_t i = 0;
    while (i < t.size()) {
        const std::size_t k = white_space_at(t, i);
        if (k == 0) break;
        i += k;
    }
    return i;
}

std::size_t trailing_white_space(std::string_view t) noexcept {
    std::size_t end = t.size();
    while (end > 0) {
        const auto last = static_cast<unsigned char>(t[end - 1]);
        if (last < 0x80) {
            if (last == ' ' || (last >= 0x09 && last <= 0x0D)) {
                --end;
                continue;
            }
            break;
        }
        // A multi-byte White_Space character is two or three bytes long.
        if (end >= 2 && white_space_at(t.substr(0, end), end - 2) == 2) {
            end -= 2;
        } else if (end >= 3 && white_space_at(t.substr(0, end), end - 3) == 3) {
            end -= 3;
        } else {
            break;
        }
    }
    return t.size() - end;
}

std::string_view trim_white_space(std::string_view t) noexcept {
    const std::size_t lead = leading_white_space(t);
    t.remove_prefix(lead);
    t.remove_suffix(trailing_white_space(t));
    return t;
}

bool all_white_space(std::string_view t) noexcept { return leading_white_space(t) == t.size(); }

}  // namespace arbolite
