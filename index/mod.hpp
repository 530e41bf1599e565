// The choice between the two index builders.
#pragma once
#include <string_view>

#include "index/structural.hpp"
#include "index/xml_error.hpp"

namespace arbolite {

// Whether the first 4096 bytes hold more than five double quotes per '<'.
bool prefers_bitmap_index(std::string_view text) noexcept;

// The index from the builder the density check picks, unchanged.
IndexResult build_index(std::string_view text);

}  // namespace arbolite
