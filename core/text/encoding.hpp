// What the first bytes of an XML document say about its encoding: a
// byte-order mark decides; otherwise the encoding an XML declaration at the
// very start names; otherwise it is UTF-8.
#pragma once
#include <cstddef>
#include <optional>
#include <string_view>

namespace arbolite {

enum class EncodingName : unsigned char {
    Utf8,     // UTF-8 and its subset ASCII: read as they are
    Utf16,    // 16- or 32-bit Unicode: a declaration read byte by byte cannot name them truly
    Other,    // anything else: for a codec to decode
};

// Sorts an encoding name by its common spellings (case, '-', '_' and blanks
// ignored): "UTF-8", "utf8", "US-ASCII", "ascii" are Utf8; "UTF-16", "UTF-32"
// and their byte-order variants are Utf16. Rarer aliases are Other.
EncodingName classify_encoding_name(std::string_view name) noexcept;

struct DetectedEncoding {
    enum class Source : unsigned char { Default, ByteOrderMark, Utf16Pattern, Declaration };
    Source source = Source::Default;
    // What to decode with: empty for UTF-8; a codec name ("utf-16",
    // "utf-16-le", "utf-32", ...) for a byte-order mark or a UTF-16 pattern;
    // the name as written for a declaration (never one classified Utf8 or Utf16).
    std::string_view codec;
    bool utf8() const noexcept { return codec.empty(); }
};

// A UTF-8 byte-order mark, or none, or a declared UTF-8, ASCII, UTF-16 or
// UTF-32 (see EncodingName::Utf16) give UTF-8. The marks of UTF-32 (tried
// before UTF-16, whose little-endian mark begins theirs) and UTF-16 give
// "utf-32" and "utf-16"; a document that starts with "<?" in UTF-16 without a
// mark gives "utf-16-le" or "utf-16-be".
DetectedEncoding detect_encoding(std::string_view bytes) noexcept;

// The value of the encoding pseudo-attribute of an XML declaration
// ("<?xml" and white space) at the very start of `bytes`, if the declaration
// is well formed up to it.
std::optional<std::string_view> declared_encoding(std::string_view bytes) noexcept;

}  // namespace arbolite
