#include "core/text/encoding.hpp"

#include <cstring>

namespace arbolite {
namespace {

bool starts_with(std::string_view s, const char* prefix, std::size_t n) noexcept {
    return s.size() >= n && std::memcmp(s.data(), prefix, n) == 0;
}

bool xml_space(char c) noexcept { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

bool name_char(char c) noexcept {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
           c == '-' || c == ':';
}

}  // namespace

EncodingName classify_encoding_name(std::string_view name) noexcept {
    char folded[16];
    std::size_t n = 0;
    for (char c : name) {
        if (c == '-' || c == '_' || c == ' ') continue;
        if (n == sizeof folded) return EncodingName::Other;
        folded[n++] = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    }
    const std::string_view f(folded, n);
    if (f == "utf8" || f == "ascii" || f == "usascii") return EncodingName::Utf8;
    for (std::string_view wide : {"utf16", "utf16le", "utf16be", "utf32", "utf32le", "utf32be"}) {
        if (f == wide) return EncodingName::Utf16;
    }
    return EncodingName::Other;
}

std::optional<std::string_view> declared_encoding(std::string_view s) noexcept {
    if (!starts_with(s, "<?xml", 5) || s.size() < 6 || !xml_space(s[5])) return std::nullopt;
    std::size_t i = 5;
    // Pseudo-attributes: name, '=', a quoted value, each after white space.
    for (;;) {
        const std::size_t before = i;
        while (i < s.size() && xml_space(s[i])) ++i;
        if (i == s.size() || i == before) return std::nullopt;
        const std::size_t name_start = i;
        while (i < s.size() && name_char(s[i])) ++i;
        const std::string_view name = s.substr(name_start, i - name_start);
        if (name.empty()) return std::nullopt;
        while (i < s.size() && xml_space(s[i])) ++i;
        if (i == s.size() || s[i] != '=') return std::nullopt;
        ++i;
        while (i < s.size() && xml_space(s[i])) ++i;
        if (i == s.size() || (s[i] != '"' && s[i] != '\'')) return std::nullopt;
        const char quote = s[i++];
        const std::size_t value_start = i;
        while (i < s.size() && s[i] != quote && s[i] != '<' && s[i] != '?') ++i;
        if (i == s.size() || s[i] != quote) return std::nullopt;
        if (name == "encoding") return s.substr(value_start, i - value_start);
        ++i;
    }
}

DetectedEncoding detect_encoding(std::string_view s) noexcept {
    using Source = DetectedEncoding::Source;
    if (starts_with(s, "\xEF\xBB\xBF", 3)) return {Source::ByteOrderMark, {}};
    if (starts_with(s, "\x00\x00\xFE\xFF", 4) || starts_with(s, "\xFF\xFE\x00\x00", 4)) {
        return {Source::ByteOrderMark, "utf-32"};
    }
    if (starts_with(s, "\xFE\xFF", 2) || starts_with(s, "\xFF\xFE", 2)) return {Source::ByteOrderMark, "utf-16"};
    if (starts_with(s, "<\x00?\x00", 4)) return {Source::Utf16Pattern, "utf-16-le"};
    if (starts_with(s, "\x00<\x00?", 4)) return {Source::Utf16Pattern, "utf-16-be"};
    const auto declared = declared_encoding(s);
    if (!declared || classify_encoding_name(*declared) != EncodingName::Other) return {};
    return {Source::Declaration, *declared};
}

}  // namespace arbolite
