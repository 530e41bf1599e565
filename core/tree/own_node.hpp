// Nodes built one at a time (from Python arguments or dictionaries): each is
// one heap block holding its header, its child pointers and its strings.
#pragma once
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "core/tree/node.hpp"

namespace arbolite {

// Keeps the first position of each key with the last value given for it, as
// assigning the pairs to a map one after another would.
void merge_duplicate_keys(std::vector<Attr>& attrs);

// A new own node with reference count 1. `attrs` must have distinct keys;
// `children` are stored as given (the node takes over one reference to each).
// Throws std::bad_alloc.
Node* make_own_node(const void* type, std::string_view name, const std::vector<Attr>& attrs,
                    Node* const* children, std::size_t child_count, std::optional<std::string_view> text);

// Frees a node's own memory (not its children): its block, or its share of
// the slabs it lives in.
void free_node_storage(Node* n) noexcept;

}  // namespace arbolite
