#include "src/read/decode.hpp"

#include <array>
#include <cstring>

#include "simd/byte_search.hpp"

namespace arbolite {
namespace {

constexpr std::array<bool, 256> kAttrSpecial = [] {
    std::array<bool, 256> t{};
    t['&'] = t['\t'] = t['\n'] = t['\r'] = true;
    return t;
}();

// The first byte at or after i that attribute mode must rewrite, or n.
std::size_t next_attr_special(const char* d, std::size_t i, std::size_t n) noexcept {
    while (i < n && !kAttrSpecial[static_cast<unsigned char>(d[i])]) ++i;
    return i;
}

void append_utf8(std::string& out, std::uint32_t cp) {
    char b[4];
    std::size_t k;
    if (cp < 0x80) {
        b[0] = static_cast<char>(cp);
        k = 1;
    } else if (cp < 0x800) {
        b[0] = static_cast<char>(0xC0 | (cp >> 6));
        b[1] = static_cast<char>(0x80 | (cp & 0x3F));
        k = 2;
    } else if (cp < 0x10000) {
        b[0] = static_cast<char>(0xE0 | (cp >> 12));
        b[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        b[2] = static_cast<char>(0x80 | (cp & 0x3F));
        k = 3;
    } else {
        b[0] = static_cast<char>(0xF0 | (cp >> 18));
        b[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        b[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        b[3] = static_cast<char>(0x80 | (cp & 0x3F));
        k = 4;
    }
    out.append(b, k);
}

// An unsigned 32-bit number: optional '+', at least one digit, nothing else.
std::optional<std::uint32_t> read_number(std::string_view s, unsigned base) noexcept {
    std::size_t i = 0;
    if (i < s.size() && s[i] == '+') ++i;
    if (i == s.size()) return std::nullopt;
    std::uint64_t v = 0;
    for (; i < s.size(); ++i) {
        const char c = s[i];
        unsigned digit;
        if (c >= '0' && c <= '9') {
            digit = static_cast<unsigned>(c - '0');
        } else if (base == 16 && c >= 'a' && c <= 'f') {
            digit = static_cast<unsigned>(c - 'a' + 10);
        } else if (base == 16 && c >= 'A' && c <= 'F') {
            digit = static_cast<unsigned>(c - 'A' + 10);
        } else {
            return std::nullopt;
        }
        if (digit >= base) return std::nullopt;
        v = v * base + digit;
        if (v > UINT32_MAX) return std::nullopt;
    }
    return static_cast<std::uint32_t>(v);
}

// Appends what the reference body (between '&' and ';') stands for.
std::optional<XmlError> append_reference(std::string_view body, std::uint64_t amp, std::string& out) {
    if (body == "lt") {
        out.push_back('<');
    } else if (body == "gt") {
        out.push_back('>');
    } else if (body == "amp") {
        out.push_back('&');
    } else if (body == "quot") {
        out.push_back('"');
    } else if (body == "apos") {
        out.push_back('\'');
    } else if (!body.empty() && body[0] == '#') {
        const bool hex = body.size() > 1 && body[1] == 'x';
        const auto cp = read_number(body.substr(hex ? 2 : 1), hex ? 16 : 10);
        if (!cp || *cp > 0x10FFFF || (*cp >= 0xD800 && *cp <= 0xDFFF)) {
            return XmlError::malformed("invalid character reference '&" + std::string(body) + ";'", amp);
        }
        append_utf8(out, *cp);
    } else {
        return XmlError::unknown_entity(std::string(body), amp);
    }
    return std::nullopt;
}

}  // namespace

bool needs_decoding(std::string_view segment, bool attr_mode) noexcept {
    if (!attr_mode) return std::memchr(segment.data(), '&', segment.size()) != nullptr;
    return next_attr_special(segment.data(), 0, segment.size()) != segment.size();
}

std::optional<XmlError> append_decoded(std::string_view segment, std::uint64_t offset, bool attr_mode,
                                       std::string& out) {
    const char* d = segment.data();
    const std::size_t n = segment.size();
    out.reserve(out.size() + n);
    std::size_t i = 0;
    while (i < n) {
        std::size_t j;
        if (attr_mode) {
            j = next_attr_special(d, i, n);
        } else {
            j = find_byte(d, i, n, '&');
            if (j == kNotFound) j = n;
        }
        out.append(d + i, j - i);
        if (j == n) break;
        if (d[j] == '&') {
            const std::size_t semi = find_byte(d, j + 1, n, ';');
            if (semi == kNotFound) return XmlError::malformed("unterminated entity reference", offset + j);
            if (auto err = append_reference(segment.substr(j + 1, semi - j - 1), offset + j, out)) return err;
            i = semi + 1;
        } else {
            // TAB, LF, CR and CR LF each become one space.
            out.push_back(' ');
            i = d[j] == '\r' && j + 1 < n && d[j + 1] == '\n' ? j + 2 : j + 1;
        }
    }
    return std::nullopt;
}

std::variant<std::string_view, XmlError> decode_entities(std::string_view segment, std::uint64_t offset,
                                                         bool attr_mode, std::string& scratch) {
    if (!needs_decoding(segment, attr_mode)) return segment;
    scratch.clear();
    if (auto err = append_decoded(segment, offset, attr_mode, scratch)) return std::move(*err);
    return std::string_view(scratch);
}

std::size_t white_space_at(std::string_view t, std::size_t i) noexcept {
    const std::size_t n = t.size();
    const auto b = [&](std::size_t k) { return static_cast<unsigned char>(t[k]); };
    const unsigned char c = b(i);
    if (c == ' ' || (c >= 0x09 && c <= 0x0D)) return 1;
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
