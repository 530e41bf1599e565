// The tree builder: from a document to the first element with a given name,
// with its whole subtree, as a PlainElement. Pure C++; runs without the
// interpreter lock.
#pragma once
#include <string_view>
#include <variant>

#include "index/structural.hpp"
#include "index/xml_error.hpp"
#include "src/core/plain_element.hpp"

namespace arbolite {

// Either the element or the error.
std::variant<PlainElement, XmlError> parse_root(std::string_view text, std::string_view root_tag);

// The walk over an index already built, for tests and the fuzzer: what
// parse_root does after building the index. Throws IndexRangeError if a
// range guard trips (parse_root turns that into an error value).
std::variant<PlainElement, XmlError> build_tree(const StructuralIndex& index, std::string_view root_tag);

}  // namespace arbolite
