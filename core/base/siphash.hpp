// SipHash-1-3: a keyed hash, so that attribute names chosen by an attacker
// cannot be made to collide without knowing the per-map keys.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace arbolite {

struct SipKeys {
    std::uint64_t k0 = 0;
    std::uint64_t k1 = 0;
};

std::uint64_t siphash13(SipKeys keys, const void* data, std::size_t len) noexcept;

// The same construction with the original round counts; it exists so the shared
// code can be checked against the published test vector.
std::uint64_t siphash24(SipKeys keys, const void* data, std::size_t len) noexcept;

inline std::uint64_t siphash13(SipKeys keys, std::string_view s) noexcept {
    return siphash13(keys, s.data(), s.size());
}

// Keys for a new map: each thread seeds one pair from getrandom once, then
// bumps the first key for every map it hands keys to, so no two maps hash alike.
SipKeys next_map_keys() noexcept;

}  // namespace arbolite
