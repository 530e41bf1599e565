// The reference classifier: the quote rules applied to every byte in turn.
#include "simd/classify.hpp"

namespace arbolite {

TagBitmaps classify_scalar(const char* text, std::size_t len) {
    TagBitmaps out;
    out.len = len;
    const std::size_t words = (len + 63) / 64;
    out.lt_bits.assign(words, 0);
    out.gt_bits.assign(words, 0);
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    unsigned char open = 0;
    for (std::size_t i = 0; i < len; ++i) {
        const unsigned char c = p[i];
        if (open != 0) {
            if (c == open) open = 0;
        } else if (c == '"' || c == '\'') {
            open = c;
        } else if (c == '<') {
            out.lt_bits[i / 64] |= 1ull << (i % 64);
        } else if (c == '>') {
            out.gt_bits[i / 64] |= 1ull << (i % 64);
        }
    }
    return out;
}

}  // namespace arbolite
