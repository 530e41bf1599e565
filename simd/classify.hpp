// The byte classifier: marks every '<' and '>' that lies outside a quoted
// string, one bit per input byte, so the bitmap index builder never takes a
// quoted '>' for the end of a tag. Three variants give bit-for-bit identical
// output; `classify` picks the best one the processor has.
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

namespace arbolite {

struct TagBitmaps {
    // Bit i % 64 of word i / 64 is set when byte i is an unquoted '<' (or '>').
    // Bits past the end of the input are zero.
    std::vector<std::uint64_t> lt_bits;
    std::vector<std::uint64_t> gt_bits;
    std::uint64_t len = 0;  // input length in bytes
};

TagBitmaps classify(const char* text, std::size_t len);
// Each may be called on any input, provided the processor has its instruction set.
TagBitmaps classify_avx2(const char* text, std::size_t len);
TagBitmaps classify_sse42(const char* text, std::size_t len);
TagBitmaps classify_scalar(const char* text, std::size_t len);

namespace cpu {

inline constexpr std::uint32_t kProbed = 1u << 0;  // never zero once probed
inline constexpr std::uint32_t kSse2 = 1u << 1;
inline constexpr std::uint32_t kSse42 = 1u << 2;
inline constexpr std::uint32_t kAvx2 = 1u << 3;  // and the OS saves the 256-bit registers

// This processor's features, probed on first use and cached for the process.
std::uint32_t features() noexcept;
inline bool has_avx2() noexcept { return (features() & kAvx2) != 0; }
inline bool has_sse42() noexcept { return (features() & kSse42) != 0; }
inline bool has_sse2() noexcept { return (features() & kSse2) != 0; }

}  // namespace cpu
}  // namespace arbolite
