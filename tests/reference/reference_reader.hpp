// The reference reader: the straightforward two-stage form of the reading
// rules (a flat index of every piece of markup, then a walk over it into an
// owned tree), kept only as the oracle that the tests and fuzzers compare the
// module's one-pass reader against. Slow on purpose; never part of the module.
#pragma once
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "core/base/core_error.hpp"

namespace arbolite::reference {

struct Element {
    std::string name;
    std::vector<std::pair<std::string, std::string>> attrs;  // document order
    std::vector<Element> children;
    std::optional<std::string> text;  // absent and empty differ

    Element() = default;
    Element(Element&&) noexcept = default;
    Element& operator=(Element&&) noexcept = default;
    // Releases deep trees without recursing per level.
    ~Element();
};

std::variant<Element, CoreError> parse_root(std::string_view text, std::string_view root_tag);

// The '>' ending the document type declaration at `p` ("<!DOCTYPE"), or the
// text's size when it does not end.
std::uint64_t doctype_end(std::string_view text, std::uint64_t p);

}  // namespace arbolite::reference
