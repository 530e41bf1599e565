// Nodes and their attributes: the keyed hash (SipHash), the duplicate set and
// the frozen index of long attribute lists, merge_duplicate_keys, own nodes
// built and freed, attribute lookup on both kinds of node, and the walk.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "core/base/siphash.hpp"
#include "core/base/varint.hpp"
#include "core/tree/attr_index.hpp"
#include "core/tree/own_node.hpp"
#include "core/tree/walk.hpp"
#include "tests/reference/compare.hpp"

using arbolite::Attr;
using arbolite::AttrIndex;
using arbolite::AttrKeySet;
using arbolite::Node;
namespace check = arbolite::check;

namespace {

// ---- SipHash -----------------------------------------------------------------

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

// ---- the duplicate set and the index ----------------------------------------

// Attribute entries as a node stores them: length-prefixed key, then value.
struct Entries {
    std::string bytes;
    std::vector<std::uint64_t> offsets;
    void add(std::string_view key, std::string_view value) {
        offsets.push_back(bytes.size());
        std::string entry(2 * arbolite::kMaxVarintBytes + key.size() + value.size(), '\0');
        char* end = arbolite::put_string(arbolite::put_string(entry.data(), key), value);
        bytes.append(entry.data(), end);
    }
};

// Keys that stress the hash table: shared prefixes and lengths, prefixes of
// one another, the empty key, embedded NULs, one very long key.
std::vector<std::string> hostile_keys(std::size_t n) {
    std::vector<std::string> keys;
    for (std::size_t i = 0; keys.size() < n; ++i) {
        switch (i % 5) {
            case 0: keys.push_back("prefix_shared_by_every_key_" + std::to_string(i)); break;
            case 1: {
                char fixed[24];
                std::snprintf(fixed, sizeof fixed, "%09zu", i);  // all of one length
                keys.emplace_back(fixed);
                break;
            }
            case 2: keys.push_back(std::string(1 + i % 97, 'k') + std::to_string(i / 97)); break;
            case 3: keys.push_back(std::string("n\0l", 3) + std::to_string(i)); break;
            default: keys.push_back("z" + std::to_string(i)); break;
        }
    }
    keys.resize(n);
    if (n > 3) keys[n / 2] = "";
    if (n > 5) keys[n / 3] = std::string(100000, 'L');
    return keys;
}

class KeyCounts : public ::testing::TestWithParam<std::size_t> {};

TEST_P(KeyCounts, SetFindsDuplicatesAndIndexFindsEveryKey) {
    const std::size_t n = GetParam();
    const std::vector<std::string> keys = hostile_keys(n);
    const std::set<std::string> key_set(keys.begin(), keys.end());
    ASSERT_EQ(key_set.size(), n) << "the keys must be distinct";
    Entries e;
    for (std::size_t i = 0; i < n; ++i) e.add(keys[i], "v" + std::to_string(i));
    AttrKeySet set;
    set.reset();
    for (std::size_t i = 0; i < n; ++i) ASSERT_TRUE(set.insert(e.bytes.data(), e.offsets[i])) << i;
    EXPECT_EQ(set.size(), n);
    // Each key again, as a later entry: every one is a duplicate.
    Entries again = e;
    for (std::size_t i = 0; i < n; i += std::max<std::size_t>(1, n / 500)) {
        again.add(keys[i], "other");
        ASSERT_FALSE(set.insert(again.bytes.data(), again.offsets.back())) << i;
    }
    EXPECT_EQ(set.size(), n);

    // Frozen in place, and built on the heap: both find every key at its entry.
    std::vector<std::uint64_t> memory(AttrIndex::size_for(set) / 8 + 1);
    const AttrIndex* frozen = AttrIndex::write(memory.data(), set);
    AttrIndex* built = AttrIndex::build(e.bytes.data(), static_cast<std::uint32_t>(n));
    for (const AttrIndex* index : {frozen, static_cast<const AttrIndex*>(built)}) {
        for (std::size_t i = 0; i < n; ++i) {
            const auto at = index->find(e.bytes.data(), keys[i]);
            ASSERT_TRUE(at.has_value()) << i;
            ASSERT_EQ(*at, e.offsets[i]) << i;
        }
        // Near misses: one byte more, one less, the last byte changed.
        for (std::size_t i = 0; i < n; i += std::max<std::size_t>(1, n / 2000)) {
            const std::string& k = keys[i];
            std::set<std::string> probes{k + "_", k + std::string(1, '\0')};
            if (!k.empty()) {
                probes.insert(k.substr(0, k.size() - 1));
                std::string changed = k;
                changed.back() = static_cast<char>(changed.back() ^ 1);
                probes.insert(changed);
            }
            for (const std::string& p : probes) {
                if (key_set.count(p)) continue;
                EXPECT_FALSE(index->find(e.bytes.data(), p).has_value()) << i;
            }
        }
    }
    AttrIndex::destroy(built);

    set.reset();
    EXPECT_EQ(set.size(), 0u);
    EXPECT_TRUE(set.insert(e.bytes.data(), e.offsets[0])) << "reset forgets the keys";
}

INSTANTIATE_TEST_SUITE_P(NineTo200000, KeyCounts, ::testing::Values(9, 10, 16, 17, 31, 32, 33, 100, 5000, 200000));

// ---- merge_duplicate_keys ----------------------------------------------------------

// Assigning the pairs to a map one after another, kept in first-seen order.
std::vector<std::pair<std::string, std::string>> plain_merge(const std::vector<std::pair<std::string, std::string>>& in) {
    std::vector<std::pair<std::string, std::string>> out;
    for (const auto& [k, v] : in) {
        auto it = std::find_if(out.begin(), out.end(), [&](const auto& o) { return o.first == k; });
        if (it == out.end()) {
            out.emplace_back(k, v);
        } else {
            it->second = v;
        }
    }
    return out;
}

std::vector<std::pair<std::string, std::string>> merged(const std::vector<std::pair<std::string, std::string>>& in) {
    std::vector<Attr> attrs;
    for (const auto& [k, v] : in) attrs.push_back({k, v});
    arbolite::merge_duplicate_keys(attrs);
    std::vector<std::pair<std::string, std::string>> out;
    for (const Attr& a : attrs) out.emplace_back(a.key, a.value);
    return out;
}

TEST(MergeDuplicateKeys, FirstPositionLastValue) {
    using Pairs = std::vector<std::pair<std::string, std::string>>;
    EXPECT_EQ(merged({}), Pairs{});
    EXPECT_EQ(merged({{"a", "1"}}), (Pairs{{"a", "1"}}));
    EXPECT_EQ(merged({{"a", "1"}, {"a", "2"}}), (Pairs{{"a", "2"}}));
    EXPECT_EQ(merged({{"b", "1"}, {"a", "2"}, {"b", "3"}, {"", "4"}, {"", "5"}}), (Pairs{{"b", "3"}, {"a", "2"}, {"", "5"}}));
    // Past the scan limit the keyed map takes over, with the same result.
    Pairs many;
    for (int i = 0; i < 30; ++i) many.emplace_back("k" + std::to_string(i % 11), std::to_string(i));
    EXPECT_EQ(merged(many), plain_merge(many));
    EXPECT_EQ(merged(many).size(), 11u);
}

TEST(MergeDuplicateKeys, AgreesWithAPlainMergeAcrossTheScanLimit) {
    std::mt19937_64 rng(5);
    for (int round = 0; round < 2000; ++round) {
        const std::size_t n = rng() % 40;
        const std::size_t distinct = 1 + rng() % 20;
        std::vector<std::pair<std::string, std::string>> in;
        for (std::size_t i = 0; i < n; ++i) in.emplace_back("key" + std::to_string(rng() % distinct), std::to_string(i));
        ASSERT_EQ(merged(in), plain_merge(in)) << "round " << round;
    }
}

// ---- own nodes --------------------------------------------------------------------

struct OwnShape {
    std::size_t attrs;
    std::size_t children;
    int text;  // 0 absent, 1 empty, 2 short, 3 longer than one length byte
};

class OwnNodes : public ::testing::TestWithParam<OwnShape> {};

TEST_P(OwnNodes, ReadBackThroughTheAccessors) {
    const OwnShape& s = GetParam();
    check::Element want;
    want.name = "n\xC3\xA9-" + std::to_string(s.attrs);
    for (std::size_t i = 0; i < s.attrs; ++i) {
        want.attrs.emplace_back("a" + std::to_string(i * 7919 % 1000003), std::string(i % 300, 'v'));
    }
    for (std::size_t i = 0; i < s.children; ++i) want.children.push_back(check::E("c" + std::to_string(i)).text("t"));
    if (s.text == 1) want.text = "";
    if (s.text == 2) want.text = "x & y";
    if (s.text == 3) want.text = std::string(70000, 't');
    check::Held node(check::build_own(want));
    Node* n = node.get();
    EXPECT_TRUE(n->is_own());
    EXPECT_EQ(n->head.refcount, 1);
    EXPECT_EQ(n->head.type, check::test_type());
    EXPECT_EQ(check::diff_tree(n, want, check::test_type()), "");
    EXPECT_EQ(arbolite::attr_index_of(n) != nullptr, s.attrs > arbolite::kAttrScanLimit);
    EXPECT_FALSE(arbolite::find_attr(n, "absent").has_value());
    EXPECT_FALSE(arbolite::find_attr(n, "a").has_value());
}

INSTANTIATE_TEST_SUITE_P(Shapes, OwnNodes,
                         ::testing::Values(OwnShape{0, 0, 0}, OwnShape{0, 0, 1}, OwnShape{1, 0, 2}, OwnShape{8, 3, 2},
                                           OwnShape{9, 0, 0}, OwnShape{9, 1, 3}, OwnShape{100, 20, 1},
                                           OwnShape{5000, 2, 3}, OwnShape{200000, 0, 2}));

TEST(OwnNodes, OneChildManyTimesIsReleasedOnce) {
    const void* type = check::test_type();
    Node* leaf = arbolite::make_own_node(type, "leaf", {}, nullptr, 0, "x");
    Node* mid = arbolite::make_own_node(type, "mid", {{"k", "v"}}, &leaf, 1, std::nullopt);
    // The parent takes over one reference per slot.
    mid->head.refcount = 4;
    std::vector<Node*> slots(4, mid);
    Node* root = arbolite::make_own_node(type, "root", {}, slots.data(), slots.size(), std::nullopt);
    EXPECT_EQ(check::render(root), "root[mid{k=v}[leaf'x'],mid{k=v}[leaf'x'],mid{k=v}[leaf'x'],mid{k=v}[leaf'x']]");
    // Held elsewhere as well: the tree goes, the shared node stays.
    ++mid->head.refcount;
    check::release(root);
    EXPECT_EQ(mid->head.refcount, 1);
    EXPECT_EQ(check::render(mid), "mid{k=v}[leaf'x']");
    check::release(mid);  // the sanitizers report a double free or a leak here
}

TEST(OwnNodes, MillionLevelChainIsWalkedAndReleasedWithoutRecursion) {
    const void* type = check::test_type();
    constexpr std::size_t kDepth = 1'000'000;
    Node* n = arbolite::make_own_node(type, "leaf", {}, nullptr, 0, "bottom");
    for (std::size_t i = 1; i < kDepth; ++i) n = arbolite::make_own_node(type, "c", {}, &n, 1, std::nullopt);
    check::Held root(n);
    struct Deepest {
        std::size_t depth = 0, entered = 0, left = 0;
        arbolite::Walk enter(Node*, std::size_t d) {
            depth = std::max(depth, d);
            ++entered;
            return arbolite::Walk::Into;
        }
        void leave(Node*, std::size_t) { ++left; }
    } visitor;
    EXPECT_TRUE(arbolite::walk_preorder(root.get(), visitor));
    EXPECT_EQ(visitor.depth, kDepth - 1);
    EXPECT_EQ(visitor.entered, kDepth);
    EXPECT_EQ(visitor.left, kDepth);
}

// ---- attribute lookup on parsed nodes -----------------------------------------------

class ParsedAttrs : public ::testing::TestWithParam<std::size_t> {};

TEST_P(ParsedAttrs, EveryKeyFoundAndNoOther) {
    const std::size_t n = GetParam();
    const std::vector<std::string> keys = [&] {
        std::vector<std::string> k;
        for (std::size_t i = 0; i < n; ++i) k.push_back("prefix_" + std::to_string(i * 7 % (n + 1)) + "_" + std::to_string(i));
        return k;
    }();
    std::string doc = "<r>x<e";
    for (std::size_t i = 0; i < n; ++i) doc += " " + keys[i] + "='" + std::to_string(i) + "'";
    doc += ">t</e></r>";
    for (arbolite::cpu::Kernel k : check::runnable_kernels()) {
        arbolite::Arena arena(doc.size());
        const arbolite::ParseOutcome got = arbolite::parse_document_with(k, doc, "r", check::test_type(), arena);
        ASSERT_FALSE(got.error) << got.error->message();
        const Node* e = got.root->first_child;
        ASSERT_NE(e, nullptr);
        EXPECT_EQ(e->attr_count, n);
        EXPECT_EQ(arbolite::attr_index_of(e) != nullptr, n > arbolite::kAttrScanLimit);
        for (std::size_t i = 0; i < n; ++i) {
            const auto v = arbolite::find_attr(e, keys[i]);
            ASSERT_TRUE(v.has_value()) << keys[i];
            EXPECT_EQ(*v, std::to_string(i));
        }
        EXPECT_FALSE(arbolite::find_attr(e, "prefix_").has_value());
        EXPECT_FALSE(arbolite::find_attr(e, "").has_value());
        EXPECT_FALSE(arbolite::find_attr(got.root, "prefix_0_0").has_value());
        EXPECT_EQ(arbolite::node_text(e), "t");
    }
}

INSTANTIATE_TEST_SUITE_P(Counts, ParsedAttrs, ::testing::Values(0, 1, 8, 9, 10, 64, 1000, 50000));

// ---- the walk ------------------------------------------------------------------------

TEST(Walk, IntoOverAndStop) {
    check::Held root(check::build_own(check::E("r")
                                          .child(check::E("a").child(check::E("a1")).child(check::E("a2")))
                                          .child(check::E("b").child(check::E("b1")))
                                          .child(check::E("c"))));
    struct Log {
        std::string skip, stop;
        std::string out;
        arbolite::Walk enter(Node* n, std::size_t d) {
            const std::string name(arbolite::node_name(n));
            out += "+" + name + std::to_string(d);
            if (name == skip) return arbolite::Walk::Over;
            if (name == stop) return arbolite::Walk::Stop;
            return arbolite::Walk::Into;
        }
        void leave(Node* n, std::size_t d) { out += "-" + std::string(arbolite::node_name(n)) + std::to_string(d); }
    };
    Log all;
    EXPECT_TRUE(arbolite::walk_preorder(root.get(), all));
    EXPECT_EQ(all.out, "+r0+a1+a12-a12+a22-a22-a1+b1+b12-b12-b1+c1-c1-r0");
    Log over{"a", ""};
    EXPECT_TRUE(arbolite::walk_preorder(root.get(), over));
    EXPECT_EQ(over.out, "+r0+a1+b1+b12-b12-b1+c1-c1-r0");
    Log stop{"", "b1"};
    EXPECT_FALSE(arbolite::walk_preorder(root.get(), stop));
    EXPECT_EQ(stop.out, "+r0+a1+a12-a12+a22-a22-a1+b1+b12");
    Log root_over{"r", ""};
    EXPECT_TRUE(arbolite::walk_preorder(root.get(), root_over));
    EXPECT_EQ(root_over.out, "+r0");
    Log root_stop{"", "r"};
    EXPECT_FALSE(arbolite::walk_preorder(root.get(), root_stop));
}

}  // namespace
