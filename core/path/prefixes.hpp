// ElementTree's namespaces= argument, where names are matched as written:
// a prefix map can only be accepted where resolving the path's names
// through it would pick the same elements as their written form does, that
// is, where the tree searched binds each prefix the path uses to the URI
// the map gives it (and the default namespace likewise, when the path has
// unprefixed element names and the map gives one). A prefix is bound
// wherever it is used (a document that uses one undeclared is not
// namespace-well-formed), but unprefixed names outside a default namespace
// declaration are in none: that one must be made at the top.
#pragma once
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/path/program.hpp"

namespace arbolite {

inline constexpr std::string_view kXmlNamespace = "http://www.w3.org/XML/1998/namespace";

using PrefixMap = std::vector<std::pair<std::string_view, std::string_view>>;

struct PrefixDisagreement {
    std::string_view prefix;  // "" for the default namespace
    std::string_view mapped;  // the URI the map gives it
    // The first other URI the tree binds it to; none when the tree searched
    // does not declare it at all, or (the default namespace) not at its top.
    std::optional<std::string> declared;
    bool only_below = false;  // the default namespace, declared below the top only
};

// The first prefix of `program` that `map` gives another URI than every
// declaration of it in root's subtree does, or that the subtree does not
// declare. Visits each distinct node once per prefix checked.
std::optional<PrefixDisagreement> check_prefix_map(const Node* root, const PathProgram& program, const PrefixMap& map);

}  // namespace arbolite
