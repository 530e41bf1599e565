#include "index/mod.hpp"

#include <algorithm>

#include "simd/byte_search.hpp"

namespace arbolite {

bool prefers_bitmap_index(std::string_view text) noexcept {
    const std::size_t window = std::min<std::size_t>(text.size(), 4096);
    const ByteCounts c = count_two_bytes(text.data(), window, '<', '"');
    const double ratio = static_cast<double>(c.second) / static_cast<double>(std::max<std::size_t>(c.first, 1));
    return ratio > 5.0;
}

IndexResult build_index(std::string_view text) {
    return prefers_bitmap_index(text) ? build_index_bitmap(text) : build_index_sequential(text);
}

}  // namespace arbolite
