#include "core/base/siphash.hpp"

#include <sys/random.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

namespace arbolite {
namespace {

inline std::uint64_t rotl(std::uint64_t x, int b) noexcept { return (x << b) | (x >> (64 - b)); }

struct SipState {
    std::uint64_t v0, v1, v2, v3;
    void round() noexcept {
        v0 += v1; v1 = rotl(v1, 13); v1 ^= v0; v0 = rotl(v0, 32);
        v2 += v3; v3 = rotl(v3, 16); v3 ^= v2;
        v0 += v3; v3 = rotl(v3, 21); v3 ^= v0;
        v2 += v1; v1 = rotl(v1, 17); v1 ^= v2; v2 = rotl(v2, 32);
    }
};

SipKeys seed_from_os() noexcept {
    SipKeys keys;
    unsigned char buf[16];
    std::size_t got = 0;
    while (got < sizeof buf) {
        ssize_t n = getrandom(buf + got, sizeof buf - got, 0);
        if (n > 0) {
            got += static_cast<std::size_t>(n);
        } else if (n < 0 && errno != EINTR) {
            break;
        }
    }
    if (got == sizeof buf) {
        std::memcpy(&keys.k0, buf, 8);
        std::memcpy(&keys.k1, buf + 8, 8);
    } else {
        // No entropy source (a seccomp jail, say): fall back to something that at
        // least differs per thread and per run rather than refusing to work.
        auto t = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
        auto id = static_cast<std::uint64_t>(std::hash<std::thread::id>{}(std::this_thread::get_id()));
        keys.k0 = t ^ 0x736f6d6570736575ULL;
        keys.k1 = id ^ rotl(t, 29) ^ 0x646f72616e646f6dULL;
    }
    return keys;
}

}  // namespace

template <int CompressionRounds, int FinalRounds>
std::uint64_t siphash(SipKeys keys, const void* data, std::size_t len) noexcept {
    const auto* in = static_cast<const unsigned char*>(data);
    SipState s{keys.k0 ^ 0x736f6d6570736575ULL, keys.k1 ^ 0x646f72616e646f6dULL,
               keys.k0 ^ 0x6c7967656e657261ULL, keys.k1 ^ 0x7465646279746573ULL};
    const std::size_t full = len & ~std::size_t{7};
    for (std::size_t i = 0; i < full; i += 8) {
        std::uint64_t m;
        std::memcpy(&m, in + i, 8);
        s.v3 ^= m;
        for (int r = 0; r < CompressionRounds; ++r) s.round();
        s.v0 ^= m;
    }
    std::uint64_t b = static_cast<std::uint64_t>(len) << 56;
    for (std::size_t i = 0; i < (len & 7); ++i) {
        b |= static_cast<std::uint64_t>(in[full + i]) << (8 * i);
    }
    s.v3 ^= b;
    for (int r = 0; r < CompressionRounds; ++r) s.round();
    s.v0 ^= b;
    s.v2 ^= 0xff;
    for (int r = 0; r < FinalRounds; ++r) s.round();
    return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

std::uint64_t siphash13(SipKeys keys, const void* data, std::size_t len) noexcept {
    return siphash<1, 3>(keys, data, len);
}

std::uint64_t siphash24(SipKeys keys, const void* data, std::size_t len) noexcept {
    return siphash<2, 4>(keys, data, len);
}

SipKeys next_map_keys() noexcept {
    thread_local bool seeded = false;
    thread_local SipKeys thread_keys;
    if (!seeded) {
        thread_keys = seed_from_os();
        seeded = true;
    }
    SipKeys out = thread_keys;
    thread_keys.k0 += 1;
    return out;
}

}  // namespace arbolite
