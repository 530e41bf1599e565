// An open-addressing index from keys to their positions in an insertion-ordered
// array. The array owns the keys; the index only stores positions and a slice
// of each key's hash, so it stays 8 bytes per bucket whatever the keys are.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "src/core/siphash.hpp"

namespace arbolite {

class HashIndex {
public:
    static constexpr std::uint32_t npos = UINT32_MAX;

    // Builds an index over positions [0, count); key_at(i) gives key i.
    template <class KeyAt>
    HashIndex(std::size_t count, KeyAt&& key_at) : keys_(next_map_keys()) {
        rebuild(capacity_for(count), count, key_at);
    }

    // Position of `key`, or npos.
    template <class KeyAt>
    std::uint32_t find(std::string_view key, KeyAt&& key_at) const noexcept {
        const std::uint64_t h = siphash13(keys_, key);
        const std::uint32_t tag = tag_of(h);
        for (std::size_t i = h & mask_;; i = (i + 1) & mask_) {
            const Bucket& b = buckets_[i];
            if (b.pos == npos) return npos;
            if (b.tag == tag && key_at(b.pos) == key) return b.pos;
        }
    }

    // Records that position `pos` holds `key`; the caller has checked it is new.
    template <class KeyAt>
    void add(std::string_view key, std::uint32_t pos, KeyAt&& key_at) {
        if ((static_cast<std::size_t>(pos) + 1) * 2 > mask_ + 1) {
            rebuild((mask_ + 1) * 2, pos, key_at);
        }
        place(siphash13(keys_, key), pos);
    }

    std::size_t bucket_count() const noexcept { return mask_ + 1; }

private:
    struct Bucket {
        std::uint32_t pos;  // position in the owner's array; npos marks an empty bucket
        std::uint32_t tag;  // high hash bits, so most mismatches skip the key compare
    };

    static std::uint32_t tag_of(std::uint64_t h) noexcept { return static_cast<std::uint32_t>(h >> 32); }

    static std::size_t capacity_for(std::size_t count) {
        std::size_t cap = 16;
        while (cap < count * 2) cap *= 2;
        return cap;
    }

    template <class KeyAt>
    void rebuild(std::size_t capacity, std::size_t count, KeyAt& key_at) {
        auto fresh = std::make_unique<Bucket[]>(capacity);
        for (std::size_t i = 0; i < capacity; ++i) fresh[i] = Bucket{npos, 0};
        buckets_ = std::move(fresh);
        mask_ = capacity - 1;
        for (std::size_t i = 0; i < count; ++i) {
            place(siphash13(keys_, key_at(static_cast<std::uint32_t>(i))), static_cast<std::uint32_t>(i));
        }
    }

    void place(std::uint64_t h, std::uint32_t pos) noexcept {
        std::size_t i = h & mask_;
        while (buckets_[i].pos != npos) i = (i + 1) & mask_;
        buckets_[i] = Bucket{pos, tag_of(h)};
    }

    SipKeys keys_;
    std::size_t mask_ = 0;
    std::unique_ptr<Bucket[]> buckets_;
};

}  // namespace arbolite
