// The attribute map: string keys to string values, unique keys, iterated in
// insertion order (document order for parsed elements), so every output that
// walks it is deterministic. Small maps are scanned; from kScanLimit entries on
// a keyed hash index keeps lookups O(1) even for hostile attribute names.
#pragma once
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "src/core/hash_index.hpp"

namespace arbolite {

class StringMap {
public:
    static constexpr std::size_t kScanLimit = 8;

    struct Entry {
        std::string_view key;
        std::string_view value;
    };

    StringMap() noexcept = default;
    StringMap(const StringMap& other);
    StringMap& operator=(const StringMap& other);
    StringMap(StringMap&&) noexcept = default;
    StringMap& operator=(StringMap&&) noexcept = default;
    ~StringMap() = default;

    // Room for `entries` pairs holding `bytes` bytes of keys and values together.
    void reserve(std::size_t entries, std::size_t bytes = 0);

    // Adds the pair unless the key is present; returns whether it was added.
    bool try_insert(std::string_view key, std::string_view value);
    // Adds the pair, or replaces the value of an existing key in place.
    void set(std::string_view key, std::string_view value);

    std::optional<std::string_view> find(std::string_view key) const noexcept;
    bool contains(std::string_view key) const noexcept { return find(key).has_value(); }

    std::size_t size() const noexcept { return rep_ ? rep_->count : 0; }
    bool empty() const noexcept { return size() == 0; }
    Entry at(std::size_t i) const noexcept;
    // Total bytes of keys and values, the size a serializer needs.
    std::size_t byte_size() const noexcept;

    class iterator {
    public:
        using iterator_category = std::forward_iterator_tag;
        using value_type = Entry;
        using difference_type = std::ptrdiff_t;
        using pointer = void;
        using reference = Entry;
        iterator(const StringMap* m, std::size_t i) noexcept : map_(m), i_(i) {}
        Entry operator*() const noexcept { return map_->at(i_); }
        iterator& operator++() noexcept { ++i_; return *this; }
        iterator operator++(int) noexcept { iterator t = *this; ++i_; return t; }
        bool operator==(const iterator& o) const noexcept { return i_ == o.i_; }
    private:
        const StringMap* map_;
        std::size_t i_;
    };
    iterator begin() const noexcept { return {this, 0}; }
    iterator end() const noexcept { return {this, size()}; }

private:
    struct Span {
        std::size_t key_off, key_len, value_off, value_len;
    };
    // One heap block per non-empty map: this header, then `span_cap` spans,
    // then `byte_cap` bytes of keys and values back to back. Parsed elements
    // reserve exactly, so a map costs a single allocation.
    struct Rep {
        std::size_t count;
        std::size_t span_cap;
        std::size_t byte_used;
        std::size_t byte_cap;
        HashIndex* index;  // owned; only past kScanLimit entries
        Span* spans() noexcept { return reinterpret_cast<Span*>(this + 1); }
        const Span* spans() const noexcept { return reinterpret_cast<const Span*>(this + 1); }
        char* bytes() noexcept { return reinterpret_cast<char*>(spans() + span_cap); }
        const char* bytes() const noexcept { return reinterpret_cast<const char*>(spans() + span_cap); }
    };
    struct RepDeleter {
        void operator()(Rep* r) const noexcept;
    };
    using RepPtr = std::unique_ptr<Rep, RepDeleter>;

    static RepPtr allocate(std::size_t span_cap, std::size_t byte_cap);
    // Makes room for one more entry of `extra` bytes, growing geometrically.
    void make_room(std::size_t extra);
    std::uint32_t position_of(std::string_view key) const noexcept;
    void append(std::string_view key, std::string_view value);
    std::string_view key_at(std::uint32_t i) const noexcept {
        const Span& s = rep_->spans()[i];
        return {rep_->bytes() + s.key_off, s.key_len};
    }

    // Null while empty: most elements have no attributes, and then the map costs one pointer.
    RepPtr rep_;
};

}  // namespace arbolite
