#include "src/core/string_map.hpp"

#include <stdexcept>

namespace arbolite {

StringMap::StringMap(const StringMap& other) {
    if (other.rep_) {
        rep_ = std::make_unique<Rep>();
        rep_->spans = other.rep_->spans;
        rep_->bytes = other.rep_->bytes;
        if (other.rep_->index) {
            rep_->index = std::make_unique<HashIndex>(rep_->spans.size(),
                                                      [this](std::uint32_t i) { return key_at(i); });
        }
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
    if (!rep_) rep_ = std::make_unique<Rep>();
    rep_->spans.reserve(entries);
    rep_->bytes.reserve(bytes);
}

StringMap::Entry StringMap::at(std::size_t i) const noexcept {
    const Span& s = rep_->spans[i];
    const char* base = rep_->bytes.data();
    return {{base + s.key_off, s.key_len}, {base + s.value_off, s.value_len}};
}

std::size_t StringMap::byte_size() const noexcept { return rep_ ? rep_->bytes.size() : 0; }

std::uint32_t StringMap::position_of(std::string_view key) const noexcept {
    if (!rep_) return HashIndex::npos;
    if (rep_->index) {
        return rep_->index->find(key, [this](std::uint32_t i) { return key_at(i); });
    }
    const std::size_t n = rep_->spans.size();
    for (std::size_t i = 0; i < n; ++i) {
        if (key_at(static_cast<std::uint32_t>(i)) == key) return static_cast<std::uint32_t>(i);
    }
    return HashIndex::npos;
}

std::optional<std::string_view> StringMap::find(std::string_view key) const noexcept {
    const std::uint32_t pos = position_of(key);
    if (pos == HashIndex::npos) return std::nullopt;
    return at(pos).value;
}

void StringMap::append(std::string_view key, std::string_view value) {
    if (!rep_) rep_ = std::make_unique<Rep>();
    Rep& r = *rep_;
    if (r.spans.size() >= HashIndex::npos - 1) throw std::length_error("attribute map is full");
    const std::size_t key_off = r.bytes.size();
    r.bytes.append(key);
    const std::size_t value_off = r.bytes.size();
    r.bytes.append(value);
    r.spans.push_back(Span{key_off, key.size(), value_off, value.size()});
    const auto pos = static_cast<std::uint32_t>(r.spans.size() - 1);
    auto key_of = [this](std::uint32_t i) { return key_at(i); };
    if (r.index) {
        r.index->add(key_at(pos), pos, key_of);
    } else if (r.spans.size() > kScanLimit) {
        r.index = std::make_unique<HashIndex>(r.spans.size(), key_of);
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
    Span& s = rep_->spans[pos];
    const std::size_t value_off = rep_->bytes.size();
    rep_->bytes.append(value);
    s.value_off = value_off;
    s.value_len = value.size();
}

}  // namespace arbolite
