// An element that holds no Python object: what the tree builder produces and
// what the writer consumes, so both can run with the interpreter lock released.
#pragma once
#include <optional>
#include <string>
#include <vector>

#include "src/core/string_map.hpp"

namespace arbolite {

struct PlainElement {
    std::string name;                 // raw UTF-8 bytes of the element name
    StringMap attrs;                  // decoded attribute values, in document order
    std::vector<PlainElement> children;
    std::optional<std::string> text;  // absent and empty are different values

    PlainElement() = default;
    explicit PlainElement(std::string n) : name(std::move(n)) {}
    PlainElement(PlainElement&&) noexcept = default;
    PlainElement& operator=(PlainElement&&) noexcept = default;
    PlainElement(const PlainElement&) = delete;
    PlainElement& operator=(const PlainElement&) = delete;
    // Releases the subtree without recursing per level, so a document nested a
    // million deep cannot overflow the native stack on its way out.
    ~PlainElement();
};

}  // namespace arbolite
