#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "simd/byte_search.hpp"
#include "simd/classify.hpp"

using arbolite::TagBitmaps;

namespace {

std::vector<std::size_t> positions(const std::vector<std::uint64_t>& words) {
    std::vector<std::size_t> out;
    for (std::size_t w = 0; w < words.size(); ++w) {
        for (int b = 0; b < 64; ++b) {
            if ((words[w] >> b) & 1) out.push_back(64 * w + b);
        }
    }
    return out;
}

// Text made mostly of the four bytes the classifier cares about.
std::string random_markup(std::mt19937_64& rng, std::size_t len) {
    static const char alphabet[] = "<>\"'<>\"'ab =/";
    std::uniform_int_distribution<int> pick(0, sizeof(alphabet) - 2);
    std::string s(len, ' ');
    for (char& c : s) c = alphabet[pick(rng)];
    return s;
}

// Runs every variant the processor has and demands the scalar result of each.
void expect_variants_agree(const std::string& s) {
    const TagBitmaps ref = arbolite::classify_scalar(s.data(), s.size());
    ASSERT_EQ(ref.len, s.size());
    ASSERT_EQ(ref.lt_bits.size(), (s.size() + 63) / 64);
    ASSERT_EQ(ref.gt_bits.size(), ref.lt_bits.size());
    auto check = [&](const TagBitmaps& got, const char* which) {
        EXPECT_EQ(got.len, ref.len) << which;
        EXPECT_EQ(got.lt_bits, ref.lt_bits) << which << " on " << s.size() << " bytes: " << s;
        EXPECT_EQ(got.gt_bits, ref.gt_bits) << which << " on " << s.size() << " bytes: " << s;
    };
    if (arbolite::cpu::has_avx2()) check(arbolite::classify_avx2(s.data(), s.size()), "avx2");
    if (arbolite::cpu::has_sse42()) check(arbolite::classify_sse42(s.data(), s.size()), "sse42");
    check(arbolite::classify(s.data(), s.size()), "classify");
}

}  // namespace

TEST(Classifier, ProcessorHasAtLeastOneVectorVariant) {
    // Every x86-64 processor has SSE2; without it the probe itself is broken.
    EXPECT_TRUE(arbolite::cpu::has_sse2());
    if (!arbolite::cpu::has_avx2()) GTEST_LOG_(INFO) << "AVX2 not available: only SSE4.2 and scalar are compared";
}

struct Marked {
    std::string text;
    std::vector<std::size_t> lt, gt;
};

class ClassifierCases : public ::testing::TestWithParam<Marked> {};

TEST_P(ClassifierCases, MarksOnlyUnquotedDelimiters) {
    const Marked& c = GetParam();
    const TagBitmaps b = arbolite::classify_scalar(c.text.data(), c.text.size());
    EXPECT_EQ(positions(b.lt_bits), c.lt);
    EXPECT_EQ(positions(b.gt_bits), c.gt);
    expect_variants_agree(c.text);
}

INSTANTIATE_TEST_SUITE_P(
    QuoteRules, ClassifierCases,
    ::testing::Values(Marked{"", {}, {}},
                      Marked{"<a b='1>2'>", {0}, {10}},
                      Marked{"<a b='x\"y'>", {0}, {10}},
                      Marked{"<a b=\"x'y\">", {0}, {10}},
                      // An apostrophe in text hides markup up to the next one.
                      Marked{"<r>don't <b/> x</r><c d='1'/>", {0}, {2}},
                      // An unclosed string leaves the rest unmarked.
                      Marked{"<a>\"<b></b>", {0}, {2}},
                      Marked{"<<>>", {0, 1}, {2, 3}}));

TEST(Classifier, StringAcrossBlocksHidesEverythingInBetween) {
    std::string s(300, 'x');
    s[10] = '<';
    s[20] = '"';
    for (std::size_t i = 30; i < 250; i += 7) s[i] = (i % 2) ? '<' : '>';
    s[64] = '\'';  // the other kind inside the string opens nothing
    s[260] = '"';
    s[270] = '>';
    const TagBitmaps b = arbolite::classify_scalar(s.data(), s.size());
    EXPECT_EQ(positions(b.lt_bits), std::vector<std::size_t>{10});
    EXPECT_EQ(positions(b.gt_bits), std::vector<std::size_t>{270});
    expect_variants_agree(s);
}

TEST(Classifier, EveryLengthUpTo300AgreesAcrossVariants) {
    std::mt19937_64 rng(12345);
    for (std::size_t len = 0; len <= 300; ++len) {
        for (int round = 0; round < 8; ++round) {
            expect_variants_agree(random_markup(rng, len));
            if (HasFailure()) return;
        }
    }
}

TEST(Classifier, BitsPastTheEndStayClear) {
    for (std::size_t len : {1, 63, 65, 127, 129}) {
        const std::string s(len, '<');
        const TagBitmaps b = arbolite::classify_scalar(s.data(), s.size());
        EXPECT_EQ(positions(b.lt_bits).size(), len);
        expect_variants_agree(s);
    }
}

// Every placement of a quote pair around the borders of the first three
// blocks, each kind, opened in one block and closed in the next or later.
class QuotesAtBorders : public ::testing::TestWithParam<char> {};

TEST_P(QuotesAtBorders, CarriedStringsMatchScalar) {
    const char q = GetParam();
    const char other = q == '"' ? '\'' : '"';
    std::string base;
    for (int i = 0; i < 256; ++i) base.push_back("<a>b<>"[i % 6]);
    const std::vector<std::size_t> spots = {0, 1, 62, 63, 64, 65, 126, 127, 128, 129, 191, 192, 255};
    for (std::size_t open : spots) {
        for (std::size_t close : spots) {
            if (close <= open) continue;
            for (int variant = 0; variant < 3; ++variant) {
                std::string s = base;
                s[open] = q;
                s[close] = q;
                if (variant == 1) s[(open + close) / 2] = other;          // inside the string
                if (variant == 2 && close + 1 < s.size()) s[close + 1] = other;  // right after it
                expect_variants_agree(s);
                expect_variants_agree(s.substr(0, close + 1));
                expect_variants_agree(s.substr(0, close));  // left open at the end
                if (HasFailure()) return;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(BothKinds, QuotesAtBorders, ::testing::Values('"', '\''));

TEST(Classifier, LongRandomInputsAgree) {
    std::mt19937_64 rng(99);
    for (std::size_t len : {4096, 65536 + 17, 200003}) {
        expect_variants_agree(random_markup(rng, len));
        // Sparse quotes: long strings and long quote-free runs.
        std::string sparse(len, 'x');
        std::uniform_int_distribution<std::size_t> at(0, len - 1);
        for (int i = 0; i < 200; ++i) sparse[at(rng)] = "<>\"'"[i % 4];
        expect_variants_agree(sparse);
    }
}

TEST(ByteCount, VariantsMatchAPlainCount) {
    std::mt19937_64 rng(7);
    for (std::size_t len : {0, 1, 15, 16, 31, 32, 33, 4096, 255 * 32 + 5, 255 * 32 * 3 + 1}) {
        std::string s = random_markup(rng, len);
        const std::size_t lt = static_cast<std::size_t>(std::count(s.begin(), s.end(), '<'));
        const std::size_t dq = static_cast<std::size_t>(std::count(s.begin(), s.end(), '"'));
        auto check = [&](arbolite::ByteCounts c, const char* which) {
            EXPECT_EQ(c.first, lt) << which << " " << len;
            EXPECT_EQ(c.second, dq) << which << " " << len;
        };
        check(arbolite::count_two_bytes_scalar(s.data(), len, '<', '"'), "scalar");
        check(arbolite::count_two_bytes_sse2(s.data(), len, '<', '"'), "sse2");
        if (arbolite::cpu::has_avx2()) check(arbolite::count_two_bytes_avx2(s.data(), len, '<', '"'), "avx2");
        check(arbolite::count_two_bytes(s.data(), len, '<', '"'), "dispatch");
    }
    // A run of one byte long enough to overflow a byte lane if never flushed.
    const std::string same(100000, '<');
    EXPECT_EQ(arbolite::count_two_bytes(same.data(), same.size(), '<', '"').first, same.size());
}
