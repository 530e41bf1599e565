#include "src/core/string_map.hpp"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <utility>
#include <new>
#include <stdexcept>

namespace arbolite {

void StringMap::RepDeleter::operator()(Rep* r) const noexcept {
    delete r->index;
    ::operator delete(r);
}

StringMap::RepPtr StringMap::allocate(std::size_t span_cap, std::size_t byte_cap) {
    if (span_cap > (SIZE_MAX / 2 - sizeof(Rep)) / sizeof(Span) ||
        byte_cap > SIZE_MAX / 2 - sizeof(Rep) - span_cap * sizeof(Span)) {
        throw std::bad_alloc();
    }
    void* raw = ::operator new(sizeof(Rep) + span_cap * sizeof(Span) + byte_cap);
    Rep* r = static_cast<Rep*>(raw);
    r->count = 0;
    r->span_cap = span_cap;
    r->byte_used = 0;
    r->byte_cap = byte_cap;
    r->index = nullptr;
    return RepPtr(r);
}

StringMap::StringMap(const StringMap& other) {
    if (!other.rep_) return;
    const Rep& o = *other.rep_;
    rep_ = allocate(o.count, o.byte_used);
    std::memcpy(rep_->spans(), o.spans(), o.count * sizeof(Span));
    if (o.byte_used) std::memcpy(rep_->bytes(), o.bytes(), o.byte_used);
    rep_->count = o.count;
    rep_->byte_used = o.byte_used;
    if (o.index) {
        rep_->index = new HashIndex(rep_->count, [this](std::uint32_t i) { return key_at(i); });
    }
}

StringMap& StringMap::operator=(const StringMap& other) {
    if (this != &other) {
        StringMap copy(other);
        *this = std::move(copy);
    }
    return *this;
}

void StringMap::reserve(std::size_t entries, std::size_t bytes) {
    if (entries == 0 && bytes == 0) return;
    if (!rep_) {
        rep_ = allocate(entries, bytes);
        return;
    }
    if (entries <= rep_->span_cap && bytes <= rep_->byte_cap) return;
    RepPtr bigger = allocate(std::max(entries, rep_->span_cap), std::max(bytes, rep_->byte_cap));
    std::memcpy(bigger->spans(), rep_->spans(), rep_->count * sizeof(Span));
    if (rep_->byte_used) std::memcpy(bigger->bytes(), rep_->bytes(), rep_->byte_used);
    bigger->count = rep_->count;
    bigger->byte_used = rep_->byte_used;
    bigger->index = std::exchange(rep_->index, nullptr);  // positions and keys are unchanged
    rep_ = std::move(bigger);
}

void StringMap::make_room(std::size_t extra) {
    const std::size_t count = rep_ ? rep_->count : 0;
    const std::size_t used = rep_ ? rep_->byte_used : 0;
    const std::size_t span_cap = rep_ ? rep_->span_cap : 0;
    const std::size_t byte_cap = rep_ ? rep_->byte_cap : 0;
    if (rep_ && count < span_cap && extra <= byte_cap - used) return;
    if (extra > SIZE_MAX / 4 - used) throw std::bad_alloc();
    std::size_t new_spans = count < span_cap ? span_cap : std::max<std::size_t>(4, span_cap * 2);
    std::size_t new_bytes = extra <= byte_cap - used ? byte_cap : std::max(used + extra, byte_cap * 2);
    reserve(new_spans, std::max<std::size_t>(new_bytes, 32));
}

StringMap::Entry StringMap::at(std::size_t i) const noexcept {
    const Span& s = rep_->spans()[i];
    const char* base = rep_->bytes();
    return {{base + s.key_off, s.key_len}, {base + s.value_off, s.value_len}};
}

std::size_t StringMap::byte_size() const noexcept { return rep_ ? rep_->byte_used : 0; }

std::uint32_t StringMap::position_of(std::string_view key) const noexcept {
    if (!rep_) return HashIndex::npos;
    if (rep_->index) {
        return rep_->index->find(key, [this](std::uint32_t i) { return key_at(i); });
    }
    const std::size_t n = rep_->count;
    const Span* spans = rep_->spans();
    const char* bytes = rep_->bytes();
    for (std::size_t i = 0; i < n; ++i) {
        if (spans[i].key_len == key.size() && std::memcmp(bytes + spans[i].key_off, key.data(), key.size()) == 0) {
            return static_cast<std::uint32_t>(i);
        }
    }
    return HashIndex::npos;
}

std::optional<std::string_view> StringMap::find(std::string_view key) const noexcept {
    const std::uint32_t pos = position_of(key);
    if (pos == HashIndex::npos) return std::nullopt;
    return at(pos).value;
}

void StringMap::append(std::string_view key, std::string_view value) {
    if (rep_ && rep_->count >= HashIndex::npos - 1) throw std::length_error("attribute map is full");
    make_room(key.size() + value.size());
    Rep& r = *rep_;
    char* bytes = r.bytes();
    const std::size_t key_off = r.byte_used;
    if (!key.empty()) std::memcpy(bytes + key_off, key.data(), key.size());
    const std::size_t value_off = key_off + key.size();
    if (!value.empty()) std::memcpy(bytes + value_off, value.data(), value.size());
    r.byte_used = value_off + value.size();
    r.spans()[r.count] = Span{key_off, key.size(), value_off, value.size()};
    const auto pos = static_cast<std::uint32_t>(r.count++);
    auto key_of = [this](std::uint32_t i) { return key_at(i); };
    if (r.index) {
        r.index->add(key_at(pos), pos, key_of);
    } else if (r.count > kScanLimit) {
        r.index = new HashIndex(r.count, key_of);
    }
}

bool StringMap::try_insert(std::string_view key, std::string_view value) {
    if (position_of(key) != HashIndex::npos) return false;
    append(key, value);
    return true;
}

void StringMap::set(std::string_view key, std::string_view value) {
    const std::uint32_t pos = position_of(key);
    if (pos == HashIndex::npos) {
        append(key, value);
        return;
    }
    // The old value's bytes stay behind as slack; replacing is rare (only a
    // caller's dict with keys that compare unequal yet spell the same text).
    // The key is unchanged, so the index stays valid across the move.
    make_room(value.size());
    Rep& r = *rep_;
    Span& s = r.spans()[pos];
    if (!value.empty()) std::memcpy(r.bytes() + r.byte_used, value.data(), value.size());
    s.value_off = r.byte_used;
    s.value_len = value.size();
    r.byte_used += value.size();
}

}  // namespace arbolite
