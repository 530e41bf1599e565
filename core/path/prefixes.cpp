#include "core/path/prefixes.hpp"

#include <algorithm>

#include "core/tree/places.hpp"

namespace arbolite {
namespace {

const std::string_view* mapped(const PrefixMap& map, std::string_view prefix) {
    for (const auto& [p, uri] : map) {
        if (p == prefix) return &uri;
    }
    return nullptr;
}

std::optional<PrefixDisagreement> check_one(const Node* root, std::string_view prefix, std::string_view uri) {
    if (prefix == "xml") {
        // Bound by XML itself, never declared.
        if (uri == kXmlNamespace) return std::nullopt;
        return PrefixDisagreement{prefix, uri, std::string(kXmlNamespace)};
    }
    const std::string key = prefix.empty() ? std::string("xmlns") : "xmlns:" + std::string(prefix);
    std::optional<std::string> other;
    // 0: no declaration, 1: all agree, 2: some disagree.
    auto own = [&](const Node* n) -> std::uint64_t {
        if (n->attr_count == 0) return 0;
        const auto v = find_attr(n, key);
        if (!v) return 0;
        if (*v == uri) return 1;
        if (!other) other = std::string(*v);
        return 2;
    };
    auto fold = [](std::uint64_t a, std::uint64_t b) { return std::max(a, b); };
    PlaceWeights memo;
    const std::uint64_t found = fold_places(root, own, fold, memo);
    if (found == 1 && prefix.empty() && own(root) == 0) return PrefixDisagreement{prefix, uri, std::nullopt, true};
    if (found == 1) return std::nullopt;
    return PrefixDisagreement{prefix, uri, std::move(other)};
}

}  // namespace

std::optional<PrefixDisagreement> check_prefix_map(const Node* root, const PathProgram& program, const PrefixMap& map) {
    for (const std::string_view prefix : program.prefixes) {
        if (const std::string_view* uri = mapped(map, prefix)) {
            if (auto d = check_one(root, prefix, *uri)) return d;
        }
    }
    // ElementTree puts unprefixed element names in the map's default
    // namespace, unless that is empty.
    if (program.unprefixed_elements) {
        if (const std::string_view* uri = mapped(map, ""); uri && !uri->empty()) {
            if (auto d = check_one(root, "", *uri)) return d;
        }
    }
    return std::nullopt;
}

}  // namespace arbolite
