// Entity and character references, attribute-value normalisation, and
// trimming of Unicode White_Space, for the tree builder.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "index/xml_error.hpp"

namespace arbolite {

// Whether `segment` holds '&' or, in attribute mode, a TAB, LF or CR.
bool needs_decoding(std::string_view segment, bool attr_mode) noexcept;

// Appends the decoded form of `segment` (which starts at byte `offset` of the
// input) to `out`; the error, if any, names a position in the input.
std::optional<XmlError> append_decoded(std::string_view segment, std::uint64_t offset, bool attr_mode,
                                       std::string& out);

// `segment` itself when it needs no change; else its decoded form, built in
// `scratch` (cleared first) and valid until `scratch` changes.
std::variant<std::string_view, XmlError> decode_entities(std::string_view segment, std::uint64_t offset,
                                                         bool attr_mode, std::string& scratch);

// Byte length of the White_Space character that starts text[i], or 0.
std::size_t white_space_at(std::string_view text, std::size_t i) noexcept;
// Bytes of White_Space at the start and at the end of `text`.
std::size_t leading_white_space(std::string_view text) noexcept;
std::size_t trailing_white_space(std::string_view text) noexcept;
std::string_view trim_white_space(std::string_view text) noexcept;
bool all_white_space(std::string_view text) noexcept;

}  // namespace arbolite
