// One table of byte classes for the reader: each byte's flags say which scans
// it stops. Scans over names and tag innards are short, so a table lookup per
// byte beats setting up a vector compare; long runs (text, values, the search
// for the next tag) go through the vectorised kernels instead.
#pragma once
#include <array>
#include <cstdint>

namespace arbolite {

enum ByteClass : std::uint8_t {
    // Space, TAB, LF, FF and CR: the white space allowed between the parts of a tag.
    kTagSpace = 1 << 0,
    // White space, '/' and '>': end the element name of a start tag.
    kStartNameEnd = 1 << 1,
    // White space and '>': end the element name of an end tag.
    kEndNameEnd = 1 << 2,
    // White space, '?' and '>': end the target of a processing instruction.
    kPiNameEnd = 1 << 3,
    // White space, both quotes and '=': end an attribute name.
    kAttrNameEnd = 1 << 4,
};

inline constexpr std::array<std::uint8_t, 256> kByteClass = [] {
    std::array<std::uint8_t, 256> t{};
    for (unsigned char c : {' ', '\t', '\n', '\f', '\r'}) {
        t[c] |= kTagSpace | kStartNameEnd | kEndNameEnd | kPiNameEnd | kAttrNameEnd;
    }
    t['/'] |= kStartNameEnd;
    t['>'] |= kStartNameEnd | kEndNameEnd | kPiNameEnd;
    t['?'] |= kPiNameEnd;
    t['"'] |= kAttrNameEnd;
    t['\''] |= kAttrNameEnd;
    t['='] |= kAttrNameEnd;
    return t;
}();

constexpr bool has_class(char c, std::uint8_t cls) noexcept {
    return (kByteClass[static_cast<unsigned char>(c)] & cls) != 0;
}

}  // namespace arbolite
