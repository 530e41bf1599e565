// The one place a node is put together: its header, the index of a long
// attribute list, and its text. The reader and pickle restore build parsed
// nodes in an arena's slabs through it; own nodes (Node(...), from_dict,
// restored parents of shared nodes) get their header from it too. A change
// to the node's layout is made here and in node.hpp, nowhere else.
#pragma once
#include <cstdint>
#include <cstring>
#include <string_view>

#include "core/base/varint.hpp"
#include "core/tree/arena.hpp"
#include "core/tree/attr_index.hpp"
#include "core/tree/node.hpp"

namespace arbolite {

// The fields every node starts with: held once (by its parent, or by the
// caller for a root), no text yet, not linked to a sibling.
inline void write_node_head(Node* node, const void* type, std::uint32_t child_count, std::uint32_t attr_count,
                            std::uint64_t payload_bytes) noexcept {
    node->head.refcount = 1;
    node->head.type = type;
    node->next_sibling = nullptr;
    node->text = nullptr;
    node->child_count = child_count;
    node->attr_count = attr_count;
    node->payload_bytes = saturate32(payload_bytes);
}

// A parsed node whose name and attributes were written at block +
// sizeof(Node) up to `end`, in a reservation of `arena` that has room for one
// more pointer: fills in its header and commits it. A list of more than
// kAttrScanLimit attributes gets its index, made from `keys` (which holds
// them), as an object of its own; the pointer to it goes in front of the name.
[[gnu::always_inline]] inline Node* commit_parsed_node(Arena& arena, char* block, char* end, std::uint32_t attr_count,
                                                       std::uint32_t child_count, const void* type,
                                                       const AttrKeySet& keys) {
    Node* node = reinterpret_cast<Node*>(block);
    char* payload = block + sizeof(Node);
    const bool indexed = attr_count > kAttrScanLimit;
    write_node_head(node, type, child_count, attr_count,
                    static_cast<std::uint64_t>(end - payload) + (indexed ? sizeof(void*) : 0));
    node->first_child = nullptr;
    if (!indexed) {
        node->slab_offset = arena.commit(end);
        return node;
    }
    std::memmove(payload + sizeof(void*), payload, static_cast<std::size_t>(end - payload));
    end += sizeof(void*);
    node->slab_offset = arena.commit(end);
    const std::size_t index_bytes = AttrIndex::size_for(keys);
    char* at = arena.reserve(8 + index_bytes);
    AttrIndex* index = AttrIndex::write(at + 8, keys);
    const std::uint32_t offset = arena.commit(at + 8 + index_bytes);
    std::memcpy(at, &offset, sizeof offset);
    std::memcpy(payload, &index, sizeof index);
    return node;
}

// A parsed node's text as an object of the arena: reserve_text() gives where
// its `size` bytes go (with `slack` more writable after them), and
// commit_text() hangs the written text on the node.
struct TextRoom {
    char* at;     // the object: its offset in the slab, then the text
    char* bytes;  // where the text's bytes go
};

inline TextRoom reserve_text(Arena& arena, std::size_t size, std::size_t slack) {
    char* at = arena.reserve(4 + kMaxVarintBytes + size + slack);
    return {at, put_varint(at + 4, size)};
}

inline void commit_text(Arena& arena, Node* node, TextRoom room, std::size_t size) noexcept {
    const std::uint32_t offset = arena.commit(room.bytes + size);
    std::memcpy(room.at, &offset, sizeof offset);
    node->text = room.at + 4;
}

}  // namespace arbolite
