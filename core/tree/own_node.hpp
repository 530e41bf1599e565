// Nodes built one at a time (from Python arguments or dictionaries): each is
// one heap block holding its header, its child pointers and its strings.
#pragma once
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>
#include <vector>

#include "core/tree/arena.hpp"
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

// The block of an own node (and its index).
void free_own_node(Node* n) noexcept;

// The same as free_node_storage, a parsed node's slab releases gathered in
// `releases`: a parsed node's text and index are objects of their own in the
// arena, each behind a 4-byte (text) or 8-byte (index) field holding its
// offset in its slab.
inline void free_node_storage(Node* n, SlabReleaser& releases) noexcept {
    if (n->is_own()) {
        free_own_node(n);
        return;
    }
    if (n->text) {
        std::uint32_t offset;
        std::memcpy(&offset, n->text - 4, sizeof offset);
        releases.release(n->text - 4, offset);
    }
    if (const AttrIndex* index = attr_index_of(n)) {
        const char* at = reinterpret_cast<const char*>(index) - 8;
        std::uint32_t offset;
        std::memcpy(&offset, at, sizeof offset);
        releases.release(at, offset);
    }
    releases.release(n, n->slab_offset);
}

}  // namespace arbolite
