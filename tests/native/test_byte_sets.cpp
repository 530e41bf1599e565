// The vector searches for sets of bytes: every byte value, at every lane of
// a block, must be found exactly when it belongs to the set. The reader's
// fast paths fall back on a miss, so a set that drops a member shows only
// as lost speed there, and a spurious member (such as NUL matching an empty
// shuffle entry) may hide behind a later check: here neither can.
#include <gtest/gtest.h>

#include "core/base/cpu.hpp"
#include "core/read/parser_includes.hpp"

#include "core/simd/avx2_region_begin.inl"
namespace arbolite::avx2_sets {
#include "core/simd/avx2.hpp"
#include "core/simd/vector.hpp"

template <char... Cs>
bool any_agrees() {
    char block[64];
    for (int b = 0; b < 256; ++b) {
        const char c = static_cast<char>(b);
        const bool member = ((c == Cs) || ...);
        for (std::size_t at = 0; at < sizeof block; ++at) {
            std::memset(block, 'a', sizeof block);
            block[at] = c;
            const std::size_t hit = Simd::find_any<Cs...>(block, 0, sizeof block);
            if (hit != (member ? at : sizeof block)) return false;
        }
    }
    return true;
}

template <std::uint8_t Cls, char... Extra>
bool class_agrees() {
    char block[64];
    for (int b = 0; b < 256; ++b) {
        const char c = static_cast<char>(b);
        for (std::size_t at = 0; at < sizeof block; ++at) {
            std::memset(block, 'a', sizeof block);
            block[at] = c;
            const std::size_t hit = Simd::find_class<Cls, Extra...>(block, 0, sizeof block);
            if (hit != (has_class(c, Cls) ? at : sizeof block)) return false;
        }
    }
    return true;
}

bool all_agree() {
    return any_agrees<'"', '<', '&', '\t', '\n', '\r'>() && any_agrees<'\'', '<', '&', '\t', '\n', '\r'>() &&
           any_agrees<'<', '&', '\t', '\n', '\r'>() && any_agrees<'<', '&'>() &&
           class_agrees<kAttrNameEnd | kStartNameEnd, '"', '\'', '=', '/', '>'>() &&
           class_agrees<kStartNameEnd, '/', '>'>() && class_agrees<kEndNameEnd, '>'>() &&
           class_agrees<kTagSpace>();
}
}  // namespace arbolite::avx2_sets
#include "core/simd/avx2_region_end.inl"

TEST(ByteSets, VectorSearchesFindExactlyTheirMembers) {
    if (!arbolite::cpu::can_run(arbolite::cpu::Kernel::Avx2)) GTEST_SKIP() << "AVX2 not available";
    EXPECT_TRUE(arbolite::avx2_sets::all_agree());
}
