// Text helpers against plain reference forms written here from the rules:
// UTF-8 from 1-, 2- and 4-byte code units, the shape of UTF-8 text and its
// conversion back to units, strict validation (exhaustive up to three
// bytes), and the White_Space property for every code point.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "core/base/cpu.hpp"
#include "core/text/utf8.hpp"
#include "core/text/utf8_kernels.hpp"
#include "core/text/white_space.hpp"

using arbolite::ByteBuffer;

namespace {

std::string encode(const std::vector<std::uint32_t>& cps) {
    std::string out;
    for (std::uint32_t cp : cps) {
        if (cp < 0x80) {
            out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            out += static_cast<char>(0xC0 | (cp >> 6));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else if (cp < 0x10000) {
            out += static_cast<char>(0xE0 | (cp >> 12));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
    return out;
}

// The textbook decoder: false for anything but well-formed UTF-8.
bool decode(std::string_view s, std::vector<std::uint32_t>* out) {
    for (std::size_t i = 0; i < s.size();) {
        const auto b0 = static_cast<unsigned char>(s[i]);
        std::size_t len;
        std::uint32_t cp;
        if (b0 < 0x80) {
            len = 1;
            cp = b0;
        } else if ((b0 & 0xE0) == 0xC0) {
            len = 2;
            cp = b0 & 0x1F;
        } else if ((b0 & 0xF0) == 0xE0) {
            len = 3;
            cp = b0 & 0x0F;
        } else if ((b0 & 0xF8) == 0xF0) {
            len = 4;
            cp = b0 & 0x07;
        } else {
            return false;
        }
        if (i + len > s.size()) return false;
        for (std::size_t k = 1; k < len; ++k) {
            const auto b = static_cast<unsigned char>(s[i + k]);
            if ((b & 0xC0) != 0x80) return false;
            cp = cp << 6 | (b & 0x3F);
        }
        static const std::uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
        if (out) out->push_back(cp);
        i += len;
    }
    return true;
}

std::uint32_t random_code_point(std::mt19937_64& rng, std::uint32_t max) {
    // Mostly near the encoding boundaries, where mistakes live.
    static const std::uint32_t edges[] = {0, 0x7F, 0x80, 0xFF, 0x100, 0x7FF, 0x800, 0xD7FF, 0xE000, 0xFFFD, 0xFFFF,
                                          0x10000, 0x10FFFF};
    std::uint32_t cp;
    do {
        cp = rng() % 3 == 0 ? edges[rng() % std::size(edges)] : static_cast<std::uint32_t>(rng() % (max + 1));
    } while (cp > max || (cp >= 0xD800 && cp <= 0xDFFF));
    return cp;
}

template <class Unit>
std::vector<Unit> as_units(const std::vector<std::uint32_t>& cps) {
    return std::vector<Unit>(cps.begin(), cps.end());
}

bool from_units(const std::vector<std::uint32_t>& cps, int unit_bytes, ByteBuffer& out) {
    switch (unit_bytes) {
        case 1: {
            auto u = as_units<std::uint8_t>(cps);
            return arbolite::utf8_from_units(u.data(), u.size(), 1, out);
        }
        case 2: {
            auto u = as_units<std::uint16_t>(cps);
            return arbolite::utf8_from_units(u.data(), u.size(), 2, out);
        }
        default: return arbolite::utf8_from_units(cps.data(), cps.size(), 4, out);
    }
}

std::vector<std::uint32_t> to_units(std::string_view text, std::size_t count, int unit_bytes) {
    std::vector<std::uint32_t> out;
    arbolite::Utf8Shape shape;
    shape.code_points = count;
    shape.max_code_point = unit_bytes == 1 ? 0xFF : unit_bytes == 2 ? 0xFFFF : 0x10FFFF;
    if (unit_bytes == 1) {
        std::vector<std::uint8_t> u(count + 1, 0xEE);
        EXPECT_TRUE(arbolite::utf8_to_units(text, shape, u.data(), 1));
        EXPECT_EQ(u[count], 0xEE) << "wrote past the last unit";
        out.assign(u.begin(), u.begin() + static_cast<std::ptrdiff_t>(count));
    } else if (unit_bytes == 2) {
        std::vector<std::uint16_t> u(count + 1, 0xEEEE);
        EXPECT_TRUE(arbolite::utf8_to_units(text, shape, u.data(), 2));
        EXPECT_EQ(u[count], 0xEEEE) << "wrote past the last unit";
        out.assign(u.begin(), u.begin() + static_cast<std::ptrdiff_t>(count));
    } else {
        std::vector<std::uint32_t> u(count + 1, 0xEEEEEE);
        EXPECT_TRUE(arbolite::utf8_to_units(text, shape, u.data(), 4));
        EXPECT_EQ(u[count], 0xEEEEEEu) << "wrote past the last unit";
        out.assign(u.begin(), u.begin() + static_cast<std::ptrdiff_t>(count));
    }
    return out;
}

class UnitWidths : public ::testing::TestWithParam<int> {};

TEST_P(UnitWidths, FromUnitsMatchesTheReferenceEncoder) {
    const int width = GetParam();
    const std::uint32_t max = width == 1 ? 0xFF : width == 2 ? 0xFFFF : 0x10FFFF;
    std::mt19937_64 rng(static_cast<std::uint64_t>(width));
    for (int round = 0; round < 3000; ++round) {
        std::vector<std::uint32_t> cps(rng() % 40);
        for (auto& cp : cps) cp = random_code_point(rng, max);
        ByteBuffer out;
        ASSERT_TRUE(from_units(cps, width, out));
        ASSERT_EQ(out.view(), encode(cps)) << round;
    }
    // Every value a unit of this width holds, in one text.
    if (width < 4) {
        std::vector<std::uint32_t> all;
        for (std::uint32_t cp = 0; cp <= max; ++cp) {
            if (cp < 0xD800 || cp > 0xDFFF) all.push_back(cp);
        }
        ByteBuffer out;
        ASSERT_TRUE(from_units(all, width, out));
        EXPECT_EQ(out.view(), encode(all));
    }
}

TEST_P(UnitWidths, SurrogatesHaveNoUtf8Form) {
    const int width = GetParam();
    if (width == 1) GTEST_SKIP() << "one-byte units hold no surrogates";
    for (std::uint32_t s : {0xD800u, 0xDBFFu, 0xDC00u, 0xDFFFu}) {
        for (std::size_t at : {0, 1, 17}) {
            std::vector<std::uint32_t> cps(20, 'a');
            cps[at] = s;
            ByteBuffer out;
            out.append("kept", 4);
            EXPECT_FALSE(from_units(cps, width, out)) << std::hex << s;
            EXPECT_EQ(out.view(), "kept") << "the output is left as it was";
        }
    }
}

TEST_P(UnitWidths, ToUnitsRoundTrips) {
    const int width = GetParam();
    const std::uint32_t max = width == 1 ? 0xFF : width == 2 ? 0xFFFF : 0x10FFFF;
    std::mt19937_64 rng(100 + static_cast<std::uint64_t>(width));
    for (int round = 0; round < 3000; ++round) {
        std::vector<std::uint32_t> cps(rng() % 40);
        for (auto& cp : cps) cp = random_code_point(rng, max);
        const std::string text = encode(cps);
        const arbolite::Utf8Shape shape = arbolite::utf8_shape(text);
        ASSERT_EQ(shape.code_points, cps.size());
        ASSERT_EQ(to_units(text, cps.size(), width), cps) << round;
        // And back, through the narrowest width the shape allows.
        const int narrow = shape.max_code_point <= 0xFF ? 1 : shape.max_code_point <= 0xFFFF ? 2 : 4;
        ASSERT_LE(narrow, width);
        ByteBuffer again;
        ASSERT_TRUE(from_units(to_units(text, cps.size(), narrow), narrow, again));
        ASSERT_EQ(again.view(), text);
    }
}

TEST_P(UnitWidths, ToUnitsRefusesWhatIsNotUtf8OfThatShape) {
    const int width = GetParam();
    const std::uint32_t max = width == 1 ? 0xFF : width == 2 ? 0xFFFF : 0x10FFFF;
    arbolite::Utf8Shape shape;
    shape.max_code_point = max;
    std::vector<std::uint32_t> units(64, 0xEE);
    // Broken sequences, overlong forms, surrogates, values past U+10FFFF, and
    // counts that do not match the text.
    const std::pair<std::string, std::size_t> bad[] = {
        {"a\xC3", 2},        {"\xC3(", 2},        {"\xC0\x80", 1},     {"\xE0\x80\x80", 1}, {"\xED\xA0\x80", 1},
        {"\xF4\x90\x80\x80", 1}, {"\xF8\x88\x80\x80\x80", 1}, {"abc", 2},       {"abc", 4},          {"\x80", 1},
    };
    for (const auto& [text, count] : bad) {
        shape.code_points = count;
        EXPECT_FALSE(arbolite::utf8_to_units(text, shape, units.data(), width)) << text;
    }
    // A code point wider than the units.
    if (width < 4) {
        shape.code_points = 1;
        EXPECT_FALSE(arbolite::utf8_to_units(width == 1 ? "\xC4\x80" : "\xF0\x90\x80\x80", shape, units.data(), width));
    }
}

INSTANTIATE_TEST_SUITE_P(Widths, UnitWidths, ::testing::Values(1, 2, 4),
                         [](const auto& info) { return "unit" + std::to_string(info.param); });

TEST(Utf8Shape, CountsCodePointsAndClassifiesTheLargest) {
    struct Case {
        std::vector<std::uint32_t> cps;
        std::uint32_t max_class;
    };
    const Case cases[] = {
        {{}, 127},           {{'a', 0x7F}, 127},       {{0x80}, 255},          {{'a', 0xFF}, 255},
        {{0x100}, 0xFFFF},   {{0xFF, 0x7FF}, 0xFFFF},  {{0x800}, 0xFFFF},      {{0xFFFF, 'x'}, 0xFFFF},
        {{0x10000}, 0x10FFFF}, {{'a', 0x10FFFF, 0xE9}, 0x10FFFF},
    };
    for (const Case& c : cases) {
        const arbolite::Utf8Shape shape = arbolite::utf8_shape(encode(c.cps));
        EXPECT_EQ(shape.code_points, c.cps.size());
        EXPECT_EQ(shape.max_code_point, c.max_class) << (c.cps.empty() ? 0 : c.cps.back());
    }
    // Every code point alone: the class is the smallest that holds it.
    for (std::uint32_t cp = 0; cp <= 0x10FFFF; cp += cp < 0x1000 ? 1 : 61) {
        if (cp >= 0xD800 && cp <= 0xDFFF) continue;
        const std::uint32_t want = cp <= 127 ? 127 : cp <= 255 ? 255 : cp <= 0xFFFF ? 0xFFFF : 0x10FFFF;
        ASSERT_EQ(arbolite::utf8_shape(encode({cp})).max_code_point, want) << std::hex << cp;
    }
}

// ---- validation ------------------------------------------------------------

TEST(Utf8Validation, EverySequenceUpToThreeBytes) {
    std::string s;
    for (int a = 0; a < 256; ++a) {
        s.assign(1, static_cast<char>(a));
        ASSERT_EQ(arbolite::is_valid_utf8(s), decode(s, nullptr)) << a;
        for (int b = 0; b < 256; ++b) {
            s.assign({static_cast<char>(a), static_cast<char>(b)});
            ASSERT_EQ(arbolite::is_valid_utf8(s), decode(s, nullptr)) << a << " " << b;
            if (a < 0xC0) continue;  // no three-byte form starts below C0 that two bytes did not settle
            for (int c = 0; c < 256; ++c) {
                s.assign({static_cast<char>(a), static_cast<char>(b), static_cast<char>(c)});
                ASSERT_EQ(arbolite::is_valid_utf8(s), decode(s, nullptr)) << a << " " << b << " " << c;
            }
        }
    }
}

TEST(Utf8Validation, FourByteSequencesAndRunsAcrossTheAsciiSkip) {
    std::mt19937_64 rng(8);
    std::string s;
    for (int a = 0xEE; a < 256; ++a) {
        for (int b = 0x70; b < 0xD0; ++b) {
            for (int c : {0x00, 0x7F, 0x80, 0xBF, 0xC0}) {
                for (int d : {0x41, 0x80, 0xBF, 0xC0, 0xFF}) {
                    s.assign({static_cast<char>(a), static_cast<char>(b), static_cast<char>(c), static_cast<char>(d)});
                    ASSERT_EQ(arbolite::is_valid_utf8(s), decode(s, nullptr)) << a << " " << b << " " << c << " " << d;
                }
            }
        }
    }
    // Random bytes mostly ASCII, so the eight-byte skip starts and stops
    // at every alignment.
    for (int round = 0; round < 200000; ++round) {
        s.resize(rng() % 24);
        for (char& ch : s) ch = static_cast<char>(rng() % 8 ? rng() % 0x80 : 0x80 + rng() % 0x80);
        ASSERT_EQ(arbolite::is_valid_utf8(s), decode(s, nullptr)) << round;
    }
}

// Every kernel, with each sequence placed across the places where a vector
// check joins blocks (32 bytes) and looks at its errors (1 KB), in ASCII and
// in two-byte text, and random damage to mixed text: the offset is the
// decoder's.
class Utf8Kernels : public ::testing::TestWithParam<arbolite::cpu::Kernel> {
protected:
    void SetUp() override {
        if (!arbolite::cpu::can_run(GetParam())) GTEST_SKIP() << "this processor cannot run the kernel";
        arbolite::cpu::force_kernel(GetParam());
    }
    void TearDown() override { arbolite::cpu::unforce_kernel(); }

    // Where the first ill-formed sequence starts: valid sequences are
    // prefix-free, so at most one length decodes at each place.
    static std::size_t expected(std::string_view s) {
        std::size_t i = 0;
        while (i < s.size()) {
            std::size_t len = 1;
            while (len <= 4 && !(i + len <= s.size() && decode(s.substr(i, len), nullptr))) ++len;
            if (len > 4) return i;
            i += len;
        }
        return i;
    }
};

TEST_P(Utf8Kernels, SequencesAcrossBlockJoins) {
    std::vector<std::string> pieces;
    for (int a = 0x7E; a < 256; ++a) {
        pieces.push_back(std::string(1, static_cast<char>(a)));
        for (int b : {0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0}) {
            pieces.push_back({static_cast<char>(a), static_cast<char>(b)});
            for (int c : {0x41, 0x80, 0xBF, 0xC0}) {
                pieces.push_back({static_cast<char>(a), static_cast<char>(b), static_cast<char>(c)});
                pieces.push_back({static_cast<char>(a), static_cast<char>(b), static_cast<char>(c), '\x80'});
            }
        }
    }
    const std::string cyrillic = "\xD0\x96";
    for (const std::size_t at : {0u, 29u, 30u, 31u, 32u, 33u, 62u, 63u, 64u, 1021u, 1022u, 1023u, 1024u, 1025u}) {
        for (const bool two_byte : {false, true}) {
            std::string before;
            while (before.size() < at) before += two_byte && before.size() + 2 <= at ? cyrillic : "a";
            for (const std::string& piece : pieces) {
                for (const std::size_t after : {0u, 1u, 40u}) {
                    const std::string s = before + piece + std::string(after, 'b');
                    ASSERT_EQ(arbolite::utf8_error_offset(s), expected(s)) << at << " " << two_byte << " " << after;
                }
            }
        }
    }
}

TEST_P(Utf8Kernels, DamagedText) {
    std::mt19937_64 rng(21);
    std::string clean;
    const std::vector<std::uint32_t> alphabet = {'a', '<', 0xE9, 0x416, 0x4E2D, 0xFFFD, 0x1F600, 0x10FFFF};
    std::vector<std::uint32_t> cps;
    for (int i = 0; i < 3000; ++i) cps.push_back(alphabet[rng() % alphabet.size()]);
    clean = encode(cps);
    ASSERT_EQ(arbolite::utf8_error_offset(clean), clean.size());
    for (int round = 0; round < 3000; ++round) {
        std::string s = clean.substr(0, rng() % clean.size());
        for (int k = rng() % 3; k > 0 && !s.empty(); --k) s[rng() % s.size()] = static_cast<char>(rng());
        ASSERT_EQ(arbolite::utf8_error_offset(s), expected(s)) << round;
    }
}

// Runs of ASCII and of each UTF-8 length, so vector steps start and stop
// at every place, in texts long and short, and every code point at once.
TEST_P(Utf8Kernels, FromUnitsInRuns) {
    std::mt19937_64 rng(5);
    for (const int width : {1, 2, 4}) {
        const std::uint32_t max = width == 1 ? 0xFF : width == 2 ? 0xFFFF : 0x10FFFF;
        for (int round = 0; round < 4000; ++round) {
            std::vector<std::uint32_t> cps;
            const std::size_t want = rng() % 300;
            while (cps.size() < want) {
                const std::uint32_t cp = rng() % 3 ? random_code_point(rng, max) : static_cast<std::uint32_t>(rng() % 0x80);
                cps.insert(cps.end(), 1 + rng() % 40, cp);
            }
            ByteBuffer out;
            ASSERT_TRUE(from_units(cps, width, out));
            const std::string utf8 = encode(cps);
            ASSERT_EQ(out.view(), utf8) << width << " " << round;
            if (GetParam() == arbolite::cpu::Kernel::Avx2) {
                // Into a buffer of exactly its size, as a huge text is written.
                std::vector<unsigned char> exact(utf8.size());
                std::vector<std::uint8_t> u1(cps.begin(), cps.end());
                std::vector<std::uint16_t> u2(cps.begin(), cps.end());
                const void* units = width == 1 ? static_cast<const void*>(u1.data())
                                  : width == 2 ? static_cast<const void*>(u2.data()) : static_cast<const void*>(cps.data());
                ASSERT_EQ(arbolite::kernel_avx2::write_utf8(units, cps.size(), width, exact.data(), exact.data() + exact.size()),
                          utf8.size());
                ASSERT_EQ(std::string(exact.begin(), exact.end()), utf8) << width << " " << round;
            }
        }
    }
    std::vector<std::uint32_t> all;
    for (std::uint32_t cp = 0; cp <= 0x10FFFF; ++cp) {
        if (cp < 0xD800 || cp > 0xDFFF) all.push_back(cp);
    }
    ByteBuffer out;
    ASSERT_TRUE(from_units(all, 4, out));
    EXPECT_EQ(out.view(), encode(all));
    all.insert(all.begin() + 100000, 0xDC00);
    EXPECT_FALSE(from_units(all, 4, out)) << "a surrogate past the vector blocks' start";
    std::vector<std::uint32_t> two(1000, 0x416);
    for (const std::size_t at : {0u, 7u, 8u, 500u, 999u}) {
        std::vector<std::uint32_t> with = two;
        with[at] = 0xD800;
        EXPECT_FALSE(from_units(with, 2, out)) << at;
    }
}

INSTANTIATE_TEST_SUITE_P(Kernels, Utf8Kernels,
                         ::testing::Values(arbolite::cpu::Kernel::Scalar, arbolite::cpu::Kernel::Sse2,
                                           arbolite::cpu::Kernel::Avx2));

// ---- White_Space ------------------------------------------------------------

bool is_white_space(std::uint32_t cp) {
    return (cp >= 0x09 && cp <= 0x0D) || cp == 0x20 || cp == 0x85 || cp == 0xA0 || cp == 0x1680 ||
           (cp >= 0x2000 && cp <= 0x200A) || cp == 0x2028 || cp == 0x2029 || cp == 0x202F || cp == 0x205F ||
           cp == 0x3000;
}

TEST(WhiteSpace, EveryCodePoint) {
    for (std::uint32_t cp = 0; cp <= 0x10FFFF; ++cp) {
        if (cp >= 0xD800 && cp <= 0xDFFF) continue;
        const std::string one = encode({cp});
        const std::size_t want = is_white_space(cp) ? one.size() : 0;
        ASSERT_EQ(arbolite::white_space_at(one, 0), want) << std::hex << cp;
        const std::string framed = "a" + one + one + "b";
        ASSERT_EQ(arbolite::trim_white_space(one + framed + one), want ? framed : one + framed + one) << std::hex << cp;
        ASSERT_EQ(arbolite::trailing_white_space("x" + one), want) << std::hex << cp;
        ASSERT_EQ(arbolite::leading_white_space(one + "x"), want) << std::hex << cp;
    }
}

TEST(WhiteSpace, CutSequencesAreNotWhiteSpace) {
    // A multi-byte space cut short at the end of the text is no space.
    for (const std::string ws : {"\xC2\xA0", "\xE3\x80\x80", "\xE2\x80\xA8"}) {
        for (std::size_t keep = 1; keep < ws.size(); ++keep) {
            const std::string cut = ws.substr(0, keep);
            EXPECT_EQ(arbolite::white_space_at(cut, 0), 0u);
            EXPECT_EQ(arbolite::trailing_white_space("x" + cut), 0u);
            EXPECT_EQ(arbolite::leading_white_space(cut), 0u);
            EXPECT_FALSE(arbolite::all_white_space(cut));
        }
    }
    // A continuation byte that looks like the tail of a space is not one.
    EXPECT_EQ(arbolite::trailing_white_space("x\xE3\x80\x80\x80"), 0u);
    EXPECT_TRUE(arbolite::all_white_space(""));
    EXPECT_TRUE(arbolite::all_white_space(" \t\xE3\x80\x80\xC2\x85"));
}

}  // namespace
