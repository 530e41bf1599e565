#include "core/tree/attr_index.hpp"

#include <cstdlib>
#include <cstring>
#include <new>

#include "core/base/varint.hpp"

namespace arbolite {
namespace {

std::string_view key_at(const char* base, std::uint64_t offset) noexcept {
    const char* next;
    return get_string(base + offset, next);
}

}  // namespace

void AttrKeySet::reset() {
    keys_ = next_map_keys();
    buckets_.assign(32, Bucket{0, 0});
    count_ = 0;
}

void AttrKeySet::grow() {
    std::vector<Bucket> old(buckets_.size() * 2, Bucket{0, 0});
    old.swap(buckets_);
    const std::size_t mask = buckets_.size() - 1;
    for (const Bucket& b : old) {
        if (!b.offset_plus_one) continue;
        std::size_t i = b.hash & mask;
        while (buckets_[i].offset_plus_one) i = (i + 1) & mask;
        buckets_[i] = b;
    }
}

bool AttrKeySet::insert(const char* base, std::uint64_t offset) {
    if ((count_ + 1) * 2 > buckets_.size()) grow();
    const std::string_view key = key_at(base, offset);
    const std::uint64_t h = siphash13(keys_, key);
    const std::size_t mask = buckets_.size() - 1;
    std::size_t i = h & mask;
    for (;; i = (i + 1) & mask) {
        const Bucket& b = buckets_[i];
        if (!b.offset_plus_one) break;
        if (b.hash == h && key_at(base, b.offset_plus_one - 1) == key) return false;
    }
    buckets_[i] = Bucket{offset + 1, h};
    ++count_;
    return true;
}

std::size_t AttrIndex::size_for(const AttrKeySet& set) noexcept {
    return offsetof(AttrIndex, buckets_) + set.buckets_.size() * sizeof(AttrKeySet::Bucket);
}

AttrIndex* AttrIndex::write(void* memory, const AttrKeySet& set) noexcept {
    const std::size_t n = set.buckets_.size();
    auto* index = static_cast<AttrIndex*>(memory);
    index->keys_ = set.keys_;
    index->mask_ = n - 1;
    std::memcpy(index->buckets_, set.buckets_.data(), n * sizeof(AttrKeySet::Bucket));
    return index;
}

AttrIndex* AttrIndex::build(const char* base, std::uint32_t count) {
    AttrKeySet set;
    set.reset();
    const char* p = base;
    for (std::uint32_t i = 0; i < count; ++i) {
        set.insert(base, static_cast<std::uint64_t>(p - base));
        const char* after_key;
        get_string(p, after_key);
        get_string(after_key, p);
    }
    void* memory = std::malloc(size_for(set));
    if (!memory) throw std::bad_alloc();
    return write(memory, set);
}

void AttrIndex::destroy(AttrIndex* index) noexcept { std::free(index); }

std::optional<std::uint64_t> AttrIndex::find(const char* base, std::string_view key) const noexcept {
    const std::uint64_t h = siphash13(keys_, key);
    for (std::uint64_t i = h & mask_;; i = (i + 1) & mask_) {
        const AttrKeySet::Bucket& b = buckets_[i];
        if (!b.offset_plus_one) return std::nullopt;
        if (b.hash == h && key_at(base, b.offset_plus_one - 1) == key) return b.offset_plus_one - 1;
    }
}

}  // namespace arbolite
