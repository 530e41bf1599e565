// Byte searches for the index builders and the tree builder. The first
// occurrence search is libc memchr, which glibc already dispatches to its
// AVX2/SSE2 code at run time; the pair count for the density check picks
// AVX2 or SSE2 once per process.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace arbolite {

inline constexpr std::size_t kNotFound = static_cast<std::size_t>(-1);

// Position of the first `c` in data[from, to), or kNotFound.
inline std::size_t find_byte(const char* data, std::size_t from, std::size_t to, char c) noexcept {
    if (from >= to) return kNotFound;
    const void* hit = std::memchr(data + from, static_cast<unsigned char>(c), to - from);
    return hit ? static_cast<std::size_t>(static_cast<const char*>(hit) - data) : kNotFound;
}

struct ByteCounts {
    std::size_t first = 0;
    std::size_t second = 0;
};

// How often `a` and `b` occur in data[0, len).
ByteCounts count_two_bytes(const char* data, std::size_t len, char a, char b) noexcept;
// The variants behind it, for tests; each needs its instruction set.
ByteCounts count_two_bytes_avx2(const char* data, std::size_t len, char a, char b) noexcept;
ByteCounts count_two_bytes_sse2(const char* data, std::size_t len, char a, char b) noexcept;
ByteCounts count_two_bytes_scalar(const char* data, std::size_t len, char a, char b) noexcept;

}  // namespace arbolite
