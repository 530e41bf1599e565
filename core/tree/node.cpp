#include "core/tree/node.hpp"

#include "core/tree/attr_index.hpp"

namespace arbolite {

std::optional<std::string_view> find_attr(const Node* n, std::string_view key) noexcept {
    const AttrRange attrs = node_attrs(n);
    if (const AttrIndex* index = attr_index_of(n)) {
        const char* base = attrs.begin().position();
        const auto offset = index->find(base, key);
        if (!offset) return std::nullopt;
        return (*AttrRange::iterator(base + *offset, 1)).value;
    }
    for (const Attr a : attrs) {
        if (a.key == key) return a.value;
    }
    return std::nullopt;
}

}  // namespace arbolite
