// The keyed hash index of a long attribute list: from a key to the position
// of its entry in the node's payload. Keys are hashed with SipHash-1-3 under
// keys of the index's own, so names chosen by an attacker cannot be made to
// collide; 200,000 attributes stay linear to build and O(1) to look up.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "core/base/siphash.hpp"

namespace arbolite {

// A growable table of key positions, for finding duplicates while a long
// attribute list is being written. Positions are byte offsets from the first
// attribute; `base` is where the attributes start.
class AttrKeySet {
public:
    // Forgets everything and takes fresh hash keys.
    void reset();
    // Records the key whose entry starts at `offset`, unless an equal key is
    // already there; returns whether it was added.
    bool insert(const char* base, std::uint64_t offset);
    std::size_t size() const noexcept { return count_; }

private:
    friend class AttrIndex;
    struct Bucket {
        std::uint64_t offset_plus_one;  // 0 marks an empty bucket
        std::uint64_t hash;
    };
    void grow();

    SipKeys keys_{};
    std::vector<Bucket> buckets_;
    std::size_t count_ = 0;
};

class AttrIndex {
public:
    // Bytes a frozen copy of `set` takes (8-aligned).
    static std::size_t size_for(const AttrKeySet& set) noexcept;
    // Writes a frozen copy of `set` into `memory` (size_for bytes, 8-aligned).
    static AttrIndex* write(void* memory, const AttrKeySet& set) noexcept;
    // Indexes `count` entries starting at `base`, which must have distinct
    // keys, in a heap block of its own (free with destroy). Throws
    // std::bad_alloc.
    static AttrIndex* build(const char* base, std::uint32_t count);
    static void destroy(AttrIndex* index) noexcept;

    // The offset of the entry whose key is `key`, if any.
    std::optional<std::uint64_t> find(const char* base, std::string_view key) const noexcept;

private:
    AttrIndex() = default;
    SipKeys keys_;
    std::uint64_t mask_;
    AttrKeySet::Bucket buckets_[1];  // mask_ + 1 of them
};

}  // namespace arbolite
