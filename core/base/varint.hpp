// Lengths stored in front of strings inside node blocks: seven bits per byte,
// low group first, the high bit set on every byte but the last. Almost every
// name, key, value and text is shorter than 128 bytes, so its length costs
// one byte; nothing limits how long a string may be.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace arbolite {

inline constexpr std::size_t kMaxVarintBytes = 10;

constexpr std::size_t varint_size(std::uint64_t v) noexcept {
    std::size_t n = 1;
    while (v >= 0x80) {
        v >>= 7;
        ++n;
    }
    return n;
}

// Writes the minimal encoding; returns the byte after it.
inline char* put_varint(char* out, std::uint64_t v) noexcept {
    if (v < 0x80) [[likely]] {
        *out = static_cast<char>(v);
        return out + 1;
    }
    while (v >= 0x80) {
        *out++ = static_cast<char>(static_cast<unsigned char>(v) | 0x80);
        v >>= 7;
    }
    *out++ = static_cast<char>(v);
    return out;
}

// Reads a length written by put_varint; returns the byte after it.
inline const char* get_varint(const char* in, std::uint64_t& v) noexcept {
    auto b = static_cast<unsigned char>(*in++);
    if (b < 0x80) [[likely]] {
        v = b;
        return in;
    }
    std::uint64_t out = b & 0x7F;
    int shift = 7;
    for (;;) {
        b = static_cast<unsigned char>(*in++);
        out |= static_cast<std::uint64_t>(b & 0x7F) << shift;
        if (b < 0x80) break;
        shift += 7;
    }
    v = out;
    return in;
}

// A length-prefixed string at `in`; `next` is set past it.
inline std::string_view get_string(const char* in, const char*& next) noexcept {
    std::uint64_t len;
    const char* s = get_varint(in, len);
    next = s + len;
    return {s, static_cast<std::size_t>(len)};
}

inline char* put_string(char* out, std::string_view s) noexcept {
    out = put_varint(out, s.size());
    if (!s.empty()) __builtin_memcpy(out, s.data(), s.size());
    return out + s.size();
}

}  // namespace arbolite
