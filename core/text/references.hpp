// Entity and character references, and the white-space normalisation of
// attribute values.
#pragma once
#include <cstdint>
#include <optional>
#include <string_view>

#include "core/base/core_error.hpp"

namespace arbolite {

// Decodes `in`, which starts at byte `offset` of the document, into `out`,
// which has room for in.size() bytes: a decoded form is never longer than its
// source. In attribute mode TAB, LF and CR (and CR LF) each become a space.
// Returns the end of what was written, or null with `error` set.
char* decode_references(std::string_view in, std::uint64_t offset, bool attr_mode, char* out,
                        CoreError& error);

}  // namespace arbolite
