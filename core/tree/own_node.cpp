#include "core/tree/own_node.hpp"

#include <cstdlib>
#include <cstring>
#include <new>
#include <unordered_map>

#include "core/base/siphash.hpp"
#include "core/base/varint.hpp"
#include "core/tree/arena.hpp"
#include "core/tree/attr_index.hpp"
#include "core/tree/node_builder.hpp"

namespace arbolite {

void merge_duplicate_keys(std::vector<Attr>& attrs) {
    if (attrs.size() < 2) return;
    std::vector<Attr> out;
    out.reserve(attrs.size());
    if (attrs.size() <= kAttrScanLimit) {
        for (const Attr& a : attrs) {
            bool replaced = false;
            for (Attr& o : out) {
                if (o.key == a.key) {
                    o.value = a.value;
                    replaced = true;
                    break;
                }
            }
            if (!replaced) out.push_back(a);
        }
    } else {
        // Keyed, so that keys chosen to collide cannot make this quadratic.
        struct KeyedHash {
            SipKeys keys = next_map_keys();
            std::size_t operator()(std::string_view s) const noexcept { return siphash13(keys, s); }
        };
        std::unordered_map<std::string_view, std::size_t, KeyedHash> at;
        at.reserve(attrs.size());
        for (const Attr& a : attrs) {
            auto [it, added] = at.emplace(a.key, out.size());
            if (added) {
                out.push_back(a);
            } else {
                out[it->second].value = a.value;
            }
        }
    }
    attrs.swap(out);
}

Node* make_own_node(const void* type, std::string_view name, const std::vector<Attr>& attrs,
                    Node* const* children, std::size_t child_count, std::optional<std::string_view> text) {
    if (child_count > UINT32_MAX || attrs.size() > UINT32_MAX) throw std::bad_alloc();
    const bool indexed = attrs.size() > kAttrScanLimit;
    std::size_t bytes = sizeof(Node) + child_count * sizeof(Node*) + (indexed ? sizeof(void*) : 0);
    bytes += varint_size(name.size()) + name.size();
    for (const Attr& a : attrs) {
        bytes += varint_size(a.key.size()) + a.key.size() + varint_size(a.value.size()) + a.value.size();
    }
    if (text) bytes += varint_size(text->size()) + text->size();
    char* block = static_cast<char*>(std::malloc(bytes + kReadSlack));
    if (!block) throw std::bad_alloc();
    Node* node = reinterpret_cast<Node*>(block);
    node->children = reinterpret_cast<Node**>(node + 1);
    node->slab_offset = 0;
    if (child_count) std::memcpy(node->children, children, child_count * sizeof(Node*));
    char* p = reinterpret_cast<char*>(node->children + child_count);
    char* index_slot = p;
    if (indexed) p += sizeof(void*);
    p = put_string(p, name);
    char* const first_attr = p;
    for (const Attr& a : attrs) {
        p = put_string(p, a.key);
        p = put_string(p, a.value);
    }
    write_node_head(node, type, static_cast<std::uint32_t>(child_count), static_cast<std::uint32_t>(attrs.size()),
                    static_cast<std::uint64_t>(p - index_slot));
    if (text) {
        node->text = p;
        p = put_string(p, *text);
    }
    if (indexed) {
        AttrIndex* index;
        try {
            index = AttrIndex::build(first_attr, node->attr_count);
        } catch (...) {
            std::free(block);
            throw;
        }
        std::memcpy(index_slot, &index, sizeof index);
    }
    return node;
}

void free_own_node(Node* n) noexcept {
    if (const AttrIndex* index = attr_index_of(n)) AttrIndex::destroy(const_cast<AttrIndex*>(index));
    std::free(n);
}

void free_node_storage(Node* n) noexcept {
    SlabReleaser releases;
    free_node_storage(n, releases);
}

}  // namespace arbolite
