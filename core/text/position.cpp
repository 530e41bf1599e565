#include "core/text/position.hpp"

#include <algorithm>
#include <cstring>

namespace arbolite {

TextPosition text_position(std::string_view text, std::uint64_t offset) noexcept {
    const std::size_t end = static_cast<std::size_t>(std::min<std::uint64_t>(offset, text.size()));
    const char* d = text.data();
    TextPosition at;
    std::size_t line_start = 0;
    for (std::size_t i = 0; i < end; ++i) {
        const char c = d[i];
        if (c == '\n' || (c == '\r' && !(i + 1 < text.size() && d[i + 1] == '\n'))) {
            ++at.line;
            line_start = i + 1;
        }
    }
    if (line_start == 0 && end >= 3 && std::memcmp(d, "\xEF\xBB\xBF", 3) == 0) line_start = 3;
    // Code points are the bytes that are not continuation bytes.
    at.column = static_cast<std::uint64_t>(
        std::count_if(d + line_start, d + end, [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
    return at;
}

}  // namespace arbolite
