#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "src/core/plain_element.hpp"
#include "src/core/siphash.hpp"
#include "src/core/string_map.hpp"

using arbolite::PlainElement;
using arbolite::StringMap;

namespace {

std::vector<std::string> keys_of(const StringMap& m) {
    std::vector<std::string> out;
    for (auto e : m) out.emplace_back(e.key);
    return out;
}

}  // namespace

TEST(SipHash, SharedRoundCodeMatchesThePublishedVector) {
    // The reference vector: key 00..0f, message 00..0e.
    arbolite::SipKeys keys{0x0706050403020100ULL, 0x0f0e0d0c0b0a0908ULL};
    unsigned char in[15];
    for (int i = 0; i < 15; ++i) in[i] = static_cast<unsigned char>(i);
    EXPECT_EQ(arbolite::siphash24(keys, in, 15), 0xa129ca6149be45e5ULL);
}

TEST(SipHash, DependsOnKeyLengthAndEveryByte) {
    arbolite::SipKeys k{1, 2};
    std::set<std::uint64_t> seen;
    std::string s(40, 'a');
    seen.insert(arbolite::siphash13(k, s.substr(0, 39)));
    seen.insert(arbolite::siphash13(k, s));
    for (size_t i = 0; i < s.size(); ++i) {
        std::string t = s;
        t[i] = 'b';
        seen.insert(arbolite::siphash13(k, t));
    }
    seen.insert(arbolite::siphash13(arbolite::SipKeys{1, 3}, s));
    EXPECT_EQ(seen.size(), 43u);
}

TEST(SipHash, EveryMapGetsDifferentKeys) {
    auto a = arbolite::next_map_keys();
    auto b = arbolite::next_map_keys();
    EXPECT_EQ(a.k0 + 1, b.k0);
    EXPECT_EQ(a.k1, b.k1);
}

class StringMapSizes : public ::testing::TestWithParam<int> {};

TEST_P(StringMapSizes, KeepsInsertionOrderAndFindsEveryKey) {
    const int n = GetParam();
    StringMap m;
    std::vector<std::string> expected;
    // Descending keys, so any accidental sorting would show.
    for (int i = n - 1; i >= 0; --i) {
        std::string k = "k" + std::to_string(i);
        ASSERT_TRUE(m.try_insert(k, "v" + std::to_string(i)));
        expected.push_back(k);
    }
    EXPECT_EQ(m.size(), static_cast<size_t>(n));
    EXPECT_EQ(keys_of(m), expected);
    for (int i = 0; i < n; ++i) {
        auto v = m.find("k" + std::to_string(i));
        ASSERT_TRUE(v.has_value()) << i;
        EXPECT_EQ(*v, "v" + std::to_string(i));
        EXPECT_FALSE(m.try_insert("k" + std::to_string(i), "other"));
    }
    EXPECT_FALSE(m.contains("k"));
    EXPECT_FALSE(m.contains("k" + std::to_string(n)));

    StringMap copy(m);
    EXPECT_EQ(keys_of(copy), expected);
    for (int i = 0; i < n; ++i) EXPECT_TRUE(copy.contains("k" + std::to_string(i)));
}

INSTANTIATE_TEST_SUITE_P(AroundTheScanLimit, StringMapSizes,
                         ::testing::Values(0, 1, 7, 8, 9, 16, 17, 100, 5000));

TEST(StringMap, EmptyKeysAndValuesAreOrdinaryEntries) {
    StringMap m;
    EXPECT_TRUE(m.try_insert("", ""));
    EXPECT_TRUE(m.try_insert("a", ""));
    EXPECT_FALSE(m.try_insert("", "x"));
    EXPECT_EQ(*m.find(""), "");
    EXPECT_EQ(*m.find("a"), "");
}

TEST(StringMap, SetReplacesInPlaceWithoutMovingTheKey) {
    StringMap m;
    for (int i = 0; i < 20; ++i) m.set("k" + std::to_string(i), "old");
    m.set("k3", "new");
    EXPECT_EQ(*m.find("k3"), "new");
    EXPECT_EQ(m.size(), 20u);
    EXPECT_EQ(m.at(3).key, "k3");
    EXPECT_EQ(m.at(3).value, "new");
}

TEST(StringMap, KeysWithEmbeddedNulAndLongKeysAreDistinct) {
    StringMap m;
    std::string a("a\0b", 3), b("a\0c", 3);
    std::string long_key(100000, 'x');
    EXPECT_TRUE(m.try_insert(a, "1"));
    EXPECT_TRUE(m.try_insert(b, "2"));
    EXPECT_TRUE(m.try_insert(long_key, "3"));
    EXPECT_EQ(*m.find(b), "2");
    EXPECT_EQ(*m.find(long_key), "3");
}

TEST(PlainElement, MillionLevelChainIsReleasedWithoutRecursion) {
    auto root = std::make_unique<PlainElement>("r");
    PlainElement* cur = root.get();
    for (int i = 0; i < 1000000; ++i) {
        cur->children.emplace_back("c");
        cur = &cur->children.back();
    }
    root.reset();  // would overflow the stack if destruction recursed per level
    SUCCEED();
}
