// One immutable XML element as it lies in memory. The block is a finished
// Python object: its first two words mirror the interpreter's object header
// (reference count, type), which the Python layer checks at compile time. That
// lets the reader build every node of a document without the interpreter lock
// and without the interpreter's allocator, and lets every operation read nodes
// without touching Python.
//
// Two kinds share one layout and one set of accessors:
// - parsed nodes live in the slabs of the document that made them, written in
//   document (pre-) order, so a walk reads memory forward; children are a
//   chain of sibling links;
// - own nodes (built from Python) are one heap block each, with an array of
//   child pointers in which one node may appear many times.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string_view>

#include "core/base/varint.hpp"

namespace arbolite {

struct ObjectHead {
    std::intptr_t refcount;
    const void* type;
};

struct Node;

// Attribute lists longer than this get a keyed hash index so that lookups stay
// O(1) on hostile input; shorter ones are scanned, which is faster.
inline constexpr std::uint32_t kAttrScanLimit = 8;

// Bytes that may be read past the end of any string stored in a node.
inline constexpr std::size_t kReadSlack = 32;

inline std::uint32_t saturate32(std::uint64_t v) noexcept {
    return v > UINT32_MAX ? UINT32_MAX : static_cast<std::uint32_t>(v);
}

class AttrIndex;

struct Node {
    ObjectHead head;
    union {
        Node* first_child;  // parsed: the first child, or null
        Node** children;    // own: child_count pointers, right after this header
    };
    Node* next_sibling;     // parsed: the next child of the parent that built it
    const char* text;       // null when absent; else a length-prefixed string
    std::uint32_t child_count;
    std::uint32_t attr_count;
    std::uint32_t slab_offset;  // parsed: bytes from its slab's start (never 0); own: 0
    std::uint32_t payload_bytes;  // of the name and attributes, prefixes included; saturates
    // Then: [AttrIndex* when attr_count > kAttrScanLimit], the name, and the
    // attributes in document order, each a length-prefixed string.
    //
    // Every string of a node (name, keys, values, text) is followed by at
    // least kReadSlack readable bytes of the same allocation, so that vector
    // code may load whole registers at any position inside one.

    bool is_own() const noexcept { return slab_offset == 0; }
};
static_assert(sizeof(Node) == 56);
static_assert(offsetof(Node, head) == 0);

inline const char* payload_of(const Node* n) noexcept {
    const char* p = reinterpret_cast<const char*>(n + 1);
    if (n->is_own()) p += sizeof(Node*) * n->child_count;
    return p;
}

inline const AttrIndex* attr_index_of(const Node* n) noexcept {
    if (n->attr_count <= kAttrScanLimit) return nullptr;
    const AttrIndex* index;
    std::memcpy(&index, payload_of(n), sizeof index);
    return index;
}

// Where the name starts: after the index pointer, when there is one.
inline const char* name_field_of(const Node* n) noexcept {
    const char* p = payload_of(n);
    return n->attr_count > kAttrScanLimit ? p + sizeof(void*) : p;
}

inline std::string_view node_name(const Node* n) noexcept {
    const char* next;
    return get_string(name_field_of(n), next);
}

inline std::optional<std::string_view> node_text(const Node* n) noexcept {
    if (!n->text) return std::nullopt;
    const char* next;
    return get_string(n->text, next);
}

struct Attr {
    std::string_view key;
    std::string_view value;
};

// The attributes in order. Cheap to copy; reads the payload as it goes.
class AttrRange {
public:
    class iterator {
    public:
        iterator(const char* p, std::uint32_t left) noexcept : p_(p), left_(left) {}
        Attr operator*() const noexcept {
            const char* after_key;
            const std::string_view key = get_string(p_, after_key);
            const char* after_value;
            return {key, get_string(after_key, after_value)};
        }
        iterator& operator++() noexcept {
            const char* after_key;
            get_string(p_, after_key);
            get_string(after_key, p_);
            --left_;
            return *this;
        }
        bool operator==(const iterator& o) const noexcept { return left_ == o.left_; }
        const char* position() const noexcept { return p_; }

    private:
        const char* p_;
        std::uint32_t left_;
    };

    AttrRange(const char* first, std::uint32_t count) noexcept : first_(first), count_(count) {}
    iterator begin() const noexcept { return {first_, count_}; }
    iterator end() const noexcept { return {nullptr, 0}; }
    std::uint32_t size() const noexcept { return count_; }
    bool empty() const noexcept { return count_ == 0; }

private:
    const char* first_;
    std::uint32_t count_;
};

inline AttrRange node_attrs(const Node* n) noexcept {
    const char* after_name;
    get_string(name_field_of(n), after_name);
    return {after_name, n->attr_count};
}

// The value of attribute `key`, by a scan or through the index.
std::optional<std::string_view> find_attr(const Node* n, std::string_view key) noexcept;

// A node's children in order, for both kinds.
class ChildCursor {
public:
    ChildCursor() noexcept = default;
    explicit ChildCursor(const Node* n) noexcept {
        if (n->is_own()) {
            array_ = n->children;
            left_ = n->child_count;
        } else {
            chain_ = n->first_child;
        }
    }
    // The next child, or null after the last.
    Node* next() noexcept {
        if (array_) {
            if (left_ == 0) return nullptr;
            --left_;
            return *array_++;
        }
        Node* c = chain_;
        if (c) chain_ = c->next_sibling;
        return c;
    }

private:
    Node* const* array_ = nullptr;
    Node* chain_ = nullptr;
    std::uint32_t left_ = 0;
};

}  // namespace arbolite
