#include "core/text/references.hpp"

#include <cstring>
#include <string>

namespace arbolite {
namespace {

char* put_utf8(char* out, std::uint32_t cp) noexcept {
    if (cp < 0x80) {
        *out++ = static_cast<char>(cp);
    } else if (cp < 0x800) {
        *out++ = static_cast<char>(0xC0 | (cp >> 6));
        *out++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        *out++ = static_cast<char>(0xE0 | (cp >> 12));
        *out++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        *out++ = static_cast<char>(0xF0 | (cp >> 18));
        *out++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        *out++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        *out++ = static_cast<char>(0x80 | (cp & 0x3F));
    }
    return out;
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
        v = v * base + digit;
        if (v > UINT32_MAX) return std::nullopt;
    }
    return static_cast<std::uint32_t>(v);
}

// Writes what the reference body (between '&' and ';') stands for.
char* put_reference(std::string_view body, std::uint64_t amp, char* out, CoreError& error) {
    if (body == "lt") {
        *out++ = '<';
    } else if (body == "gt") {
        *out++ = '>';
    } else if (body == "amp") {
        *out++ = '&';
    } else if (body == "quot") {
        *out++ = '"';
    } else if (body == "apos") {
        *out++ = '\'';
    } else if (!body.empty() && body[0] == '#') {
        const bool hex = body.size() > 1 && body[1] == 'x';
        const auto cp = read_number(body.substr(hex ? 2 : 1), hex ? 16 : 10);
        if (!cp || *cp > 0x10FFFF || (*cp >= 0xD800 && *cp <= 0xDFFF)) {
            error = CoreError::malformed(CoreError::Code::InvalidCharacterReference, body, amp);
            return nullptr;
        }
        out = put_utf8(out, *cp);
    } else {
        error = CoreError::unknown_entity(std::string(body), amp);
        return nullptr;
    }
    return out;
}

bool attr_special(char c) noexcept { return c == '&' || c == '\t' || c == '\n' || c == '\r'; }

}  // namespace

char* decode_references(std::string_view in, std::uint64_t offset, bool attr_mode, char* out,
                        CoreError& error) {
    const char* d = in.data();
    const std::size_t n = in.size();
    std::size_t i = 0;
    while (i < n) {
        std::size_t j = i;
        if (attr_mode) {
            while (j < n && !attr_special(d[j])) ++j;
        } else {
            const void* amp = std::memchr(d + i, '&', n - i);
            j = amp ? static_cast<std::size_t>(static_cast<const char*>(amp) - d) : n;
        }
        std::memmove(out, d + i, j - i);  // in place when `out` trails `in`
        out += j - i;
        if (j == n) break;
        if (d[j] == '&') {
            const void* semi = std::memchr(d + j + 1, ';', n - j - 1);
            if (!semi) {
                error = CoreError::malformed(CoreError::Code::UnterminatedEntityReference, offset + j);
                return nullptr;
            }
            const std::size_t s = static_cast<std::size_t>(static_cast<const char*>(semi) - d);
            out = put_reference(in.substr(j + 1, s - j - 1), offset + j, out, error);
            if (!out) return nullptr;
            i = s + 1;
        } else {
            // TAB, LF, CR and CR LF each become one space.
            *out++ = ' ';
            i = d[j] == '\r' && j + 1 < n && d[j + 1] == '\n' ? j + 2 : j + 1;
        }
    }
    return out;
}

}  // namespace arbolite
