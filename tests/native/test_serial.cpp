// The byte form of trees behind pickling: trees come back exactly (names,
// attribute order, absent versus empty text, sharing, repeats), a million
// levels need no recursion, and any damaged or hostile blob is refused with
// nothing left allocated (the sanitized run checks the leaks).
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <random>
#include <set>
#include <string>
#include <variant>
#include <vector>

#include "core/base/varint.hpp"
#include "core/tree/serial.hpp"
#include "core/tree/walk.hpp"
#include "tests/reference/compare.hpp"

using namespace arbolite;
using check::Held;

namespace {

std::string blob_of(const Node* root) {
    ByteBuffer out;
    serialize_tree(root, out);
    return std::string(out.view());
}

// The restored tree, or the failure's message.
struct Restored {
    Held tree;
    std::uint64_t count = 0;
    std::string error;
};
Restored restore(std::string_view blob) {
    Restored r;
    auto outcome = restore_tree(blob, check::test_type());
    if (auto* e = std::get_if<CoreError>(&outcome)) {
        r.error = e->message();
    } else {
        r.tree = Held(std::get<RestoredTree>(outcome).root);
        r.count = std::get<RestoredTree>(outcome).node_count;
    }
    return r;
}

// A node placed once more, as a Python parent list would hold it.
Node* again(Node* n) {
    ++n->head.refcount;
    return n;
}

Node* own(std::string_view name, std::vector<Attr> attrs = {}, std::vector<Node*> children = {},
          std::optional<std::string_view> text = std::nullopt) {
    return make_own_node(check::test_type(), name, attrs, children.data(), children.size(), text);
}

// The shape of a tree's sharing: for each place in pre-order, the number of
// the first place that held the same node.
std::vector<std::size_t> sharing(const Node* root) {
    std::map<const Node*, std::size_t> first;
    std::vector<std::size_t> out;
    struct V {
        std::map<const Node*, std::size_t>& first;
        std::vector<std::size_t>& out;
        Walk enter(Node* n, std::size_t) {
            auto [it, added] = first.try_emplace(n, out.size());
            out.push_back(it->second);
            return Walk::Into;
        }
        void leave(Node*, std::size_t) {}
    } v{first, out};
    walk_preorder(const_cast<Node*>(root), v);
    return out;
}

// Each node's count must be the number of places that hold it (the root's
// one being the caller's).
void expect_counts_match_places(const Node* root) {
    std::map<const Node*, std::intptr_t> places{{root, 1}};
    std::vector<const Node*> todo{root};
    std::set<const Node*> visited;
    while (!todo.empty()) {
        const Node* n = todo.back();
        todo.pop_back();
        if (!visited.insert(n).second) continue;
        ChildCursor c(n);
        while (const Node* k = c.next()) {
            ++places[k];
            todo.push_back(k);
        }
    }
    for (auto [n, count] : places) EXPECT_EQ(n->head.refcount, count) << check::render(n);
}

void expect_round_trip(const Node* root) {
    const std::string blob = blob_of(root);
    Restored r = restore(blob);
    ASSERT_EQ(r.error, "");
    EXPECT_EQ(check::render(r.tree.get()), check::render(root));
    const std::vector<std::size_t> places = sharing(root);
    EXPECT_EQ(sharing(r.tree.get()), places);
    EXPECT_EQ(r.count, std::set<std::size_t>(places.begin(), places.end()).size());
    expect_counts_match_places(r.tree.get());
    // The restored tree writes the same blob (its nodes are shared where the
    // original's were, so the same back-references come out).
    EXPECT_EQ(blob_of(r.tree.get()), blob);
}

TEST(Serial, FieldsComeBackExactly) {
    Held tree(own("root", {{"z", "1"}, {"a", ""}, {"m", "é\t<&>\n"}},
                  {own("empty-text", {}, {}, std::string_view("")), own("no-text"), own("", {}, {}, "t")},
                  " both ends "));
    expect_round_trip(tree.get());
    const std::string r = check::render(restore(blob_of(tree.get())).tree.get());
    // Attribute order is the node's, not sorted; empty text stays present.
    EXPECT_EQ(r, "root{z=1,a=,m=é\t<&>\n}' both ends '[empty-text'',no-text,'t']");
}

TEST(Serial, SharedAndRepeatedChildrenStayOneNode) {
    Node* leaf = own("leaf", {{"k", "v"}});
    Node* mid = own("mid", {}, {leaf, again(leaf)});     // repeated in one list
    Node* other = own("other", {}, {again(mid), again(leaf)});  // shared across parents
    Held root(own("root", {}, {mid, other, again(other)}));
    expect_round_trip(root.get());
    Restored r = restore(blob_of(root.get()));
    EXPECT_EQ(r.count, 4u);
    ChildCursor top(r.tree.get());
    Node* m = top.next();
    Node* o = top.next();
    EXPECT_EQ(top.next(), o);
    ChildCursor in_mid(m), in_other(o);
    Node* l = in_mid.next();
    EXPECT_EQ(in_mid.next(), l);
    EXPECT_EQ(in_other.next(), m);
    EXPECT_EQ(in_other.next(), l);
    // Parents of nodes in several places hold arrays; the rest lie in slabs.
    EXPECT_TRUE(r.tree.get()->is_own() && m->is_own() && o->is_own());
    EXPECT_FALSE(l->is_own());
}

TEST(Serial, TreesWithoutSharingComeBackInSlabs) {
    // A linked parent above an array parent above a shared leaf.
    Node* leaf = own("leaf");
    Held tree(own("top", {}, {own("a", {}, {leaf, again(leaf)}), own("b", {}, {}, "t")}));
    Restored r = restore(blob_of(tree.get()));
    ASSERT_EQ(r.error, "");
    ChildCursor top(r.tree.get());
    Node* a = top.next();
    Node* b = top.next();
    EXPECT_FALSE(r.tree.get()->is_own());
    EXPECT_TRUE(a->is_own());
    EXPECT_FALSE(b->is_own());
    EXPECT_EQ(check::render(r.tree.get()), "top[a[leaf,leaf],b't']");

    Held plain(check::build_own(check::chain(50, "n", "x")));
    Restored p = restore(blob_of(plain.get()));
    struct V {
        int own = 0;
        Walk enter(Node* n, std::size_t) {
            own += n->is_own();
            return Walk::Into;
        }
        void leave(Node*, std::size_t) {}
    } v;
    walk_preorder(p.tree.get(), v);
    EXPECT_EQ(v.own, 0);
}

TEST(Serial, LongAttributeListsKeepTheirOrderAndIndex) {
    std::vector<std::string> keys, values;
    for (int i = 0; i < 300; ++i) keys.push_back("k" + std::to_string((i * 7919) % 300));
    for (const auto& k : keys) values.push_back(k + "v");
    std::vector<Attr> attrs;
    for (int i = 0; i < 300; ++i) attrs.push_back({keys[i], values[i]});
    Held tree(own("r", attrs));
    Restored r = restore(blob_of(tree.get()));
    ASSERT_EQ(r.error, "");
    EXPECT_EQ(check::render(r.tree.get()), check::render(tree.get()));
    for (const auto& k : keys) EXPECT_EQ(find_attr(r.tree.get(), k), std::optional<std::string_view>(k + "v"));
    EXPECT_EQ(find_attr(r.tree.get(), "k300"), std::nullopt);
}

TEST(Serial, ParsedTreesRoundTripToOwnNodes) {
    const std::string doc = "<a x='1' y='&amp;'><b>t</b><c/>tail<b>u</b></a>";
    for (cpu::Kernel k : check::runnable_kernels()) {
        Arena arena(doc.size());
        ParseOutcome parsed = parse_document_with(k, doc, "a", check::test_type(), arena);
        ASSERT_FALSE(parsed.error) << check::kernel_name(k);
        arena.publish();
        Held tree(parsed.root);
        expect_round_trip(tree.get());
    }
}

// Random trees over a pool of nodes, with shared and repeated children.
Node* random_dag(std::mt19937& rng, std::size_t nodes) {
    static const char* names[] = {"a", "item", "", "n\xc3\xa9", "x y"};
    static const char* values[] = {"", "plain", "a<b&c", "'\"", "\t\r\n", "\xf0\x9f\x8c\xb3"};
    std::vector<Node*> pool;
    for (std::size_t i = 0; i < nodes; ++i) {
        std::vector<Attr> attrs;
        const unsigned n_attrs = rng() % 5 == 0 ? 9 + rng() % 12 : rng() % 4;
        std::vector<std::string> keys;
        for (unsigned j = 0; j < n_attrs; ++j) keys.push_back("k" + std::to_string(j * 3 + rng() % 3));
        std::set<std::string> seen;
        for (const auto& key : keys) {
            if (seen.insert(key).second) attrs.push_back({key, values[rng() % 6]});
        }
        std::vector<Node*> children;
        for (unsigned j = 0, n = pool.empty() ? 0 : rng() % 4; j < n; ++j) children.push_back(again(pool[rng() % pool.size()]));
        std::optional<std::string_view> text;
        if (rng() % 3) text = values[rng() % 6];
        pool.push_back(own(names[rng() % 5], attrs, children, text));
    }
    // Every node but the root loses the pool's reference.
    for (std::size_t i = 0; i + 1 < pool.size(); ++i) check::release(pool[i]);
    return pool.back();
}

TEST(Serial, RandomSharedTreesRoundTrip) {
    std::mt19937 rng(20261208);
    for (int round = 0; round < 200; ++round) {
        Held tree(random_dag(rng, 1 + rng() % 40));
        expect_round_trip(tree.get());
        if (HasFailure()) break;
    }
}

TEST(Serial, NodesThatFillTheirSlabExactly) {
    // Blobs of every size around the first slab's (which follows the blob's
    // size, so its end falls anywhere), of nodes whose blocks are not a
    // multiple of 8 bytes: the last one may end exactly at the slab's limit.
    for (int n = 10; n < 400; ++n) {
        std::vector<Node*> kids;
        for (int i = 0; i < n; ++i) kids.push_back(own(std::string(1 + i % 7, 'k'), {}, {}, i % 3 ? std::nullopt : std::optional<std::string_view>("t")));
        Held tree(own("r", {}, kids));
        expect_round_trip(tree.get());
        if (HasFailure()) break;
    }
}

TEST(Serial, AMillionLevelsAndAMillionSiblings) {
    Held chain(check::build_own(check::chain(1'000'000, "n", "leaf")));
    const std::string blob = blob_of(chain.get());
    Restored r = restore(blob);
    ASSERT_EQ(r.error, "");
    EXPECT_EQ(r.count, 1'000'000u);
    EXPECT_EQ(blob_of(r.tree.get()), blob);

    std::vector<Node*> kids;
    Node* shared = own("s", {}, {}, "x");
    for (int i = 0; i < 1'000'000; ++i) kids.push_back(i % 2 ? again(shared) : own("k"));
    check::release(shared);
    Held wide(own("w", {}, kids));
    expect_round_trip(wide.get());
}

// ------------------------------------------------------------------ refusals

std::string header(std::uint64_t count) {
    std::string h(kSerialMagic, sizeof kSerialMagic);
    h += static_cast<char>(kSerialVersion);
    for (int i = 0; i < 8; ++i) h += static_cast<char>((count >> (8 * i)) & 0xFF);
    return h;
}
std::string str(std::string_view s) {
    char prefix[kMaxVarintBytes];
    return std::string(prefix, put_varint(prefix, s.size())).append(s);
}
std::string node(std::string_view name, unsigned attrs, unsigned children, std::string body = {}, unsigned flags = 0) {
    return std::string(1, static_cast<char>(kRecordNode | flags)) + static_cast<char>(attrs) + static_cast<char>(children) +
           str(name) + body;
}
std::string ref(unsigned index) { return std::string(1, kRecordRef) + static_cast<char>(index); }

TEST(Serial, HandMadeBlobsAreRead) {
    // A root with one child placed twice by reference.
    Restored r = restore(header(2) + node("r", 0, 2, "", kChildArray) + node("c", 1, 0, str("k") + str("v")) + ref(1));
    ASSERT_EQ(r.error, "");
    EXPECT_EQ(check::render(r.tree.get()), "r[c{k=v},c{k=v}]");
    expect_counts_match_places(r.tree.get());
}

struct Refusal {
    const char* name;
    std::string blob;
    std::string message;
};
std::ostream& operator<<(std::ostream& os, const Refusal& r) { return os << r.name; }

class Refused : public ::testing::TestWithParam<Refusal> {};

TEST_P(Refused, WithItsMessage) {
    Restored r = restore(GetParam().blob);
    EXPECT_EQ(r.error, GetParam().message);
    EXPECT_EQ(r.tree.get(), nullptr);
}

std::string many_attrs(int n, bool repeat_last) {
    std::string body;
    for (int i = 0; i < n; ++i) body += str("k" + std::to_string(repeat_last && i == n - 1 ? 0 : i)) + str("v");
    return body;
}

INSTANTIATE_TEST_SUITE_P(
    Serial, Refused,
    ::testing::Values(
        Refusal{"empty", "", "invalid node data at byte 0: not arbolite node data"},
        Refusal{"magic", "ARBX\x01", "invalid node data at byte 0: not arbolite node data"},
        Refusal{"version", std::string("ARBT\x02", 5) + std::string(8, '\0'),
                "invalid node data at byte 4: format version 2 is not one this version reads"},
        Refusal{"no_tree", header(0), "invalid node data at byte 13: data ends inside the tree"},
        Refusal{"unknown_kind", header(1) + "\x09", "invalid node data at byte 13: unknown record kind 9"},
        Refusal{"ref_first", header(0) + ref(0), "invalid node data at byte 13: reference to a node not yet written"},
        Refusal{"ref_to_ancestor", header(1) + node("r", 0, 1, "", kChildArray) + ref(0),
                "invalid node data at byte 18: reference to a node that contains it"},
        Refusal{"ref_under_linked_children", header(2) + node("r", 0, 2) + node("c", 0, 0) + ref(1),
                "invalid node data at byte 23: reference under a node without a child array"},
        Refusal{"ref_ahead", header(2) + node("r", 0, 2, "", kChildArray) + ref(1) + node("c", 0, 0),
                "invalid node data at byte 18: reference to a node not yet written"},
        Refusal{"missing_child", header(2) + node("r", 0, 2) + node("c", 0, 0),
                "invalid node data at byte 23: data ends inside the tree"},
        Refusal{"trailing", header(1) + node("r", 0, 0) + "x", "invalid node data at byte 18: data after the tree"},
        Refusal{"count", header(5) + node("r", 0, 0), "invalid node data at byte 0: node count does not match the tree"},
        Refusal{"truncated_name", header(1) + std::string("\x01\x00\x00\x05" "ab", 6),
                "invalid node data at byte 13: truncated name"},
        Refusal{"name_not_utf8", header(1) + node("a\xff", 0, 0),
                "invalid node data at byte 13: a name or attribute is not UTF-8"},
        Refusal{"long_name_and_bad_value", header(1) + node(std::string(200, 'a'), 1, 0, str("k") + str("\xe9")),
                "invalid node data at byte 13: a name or attribute is not UTF-8"},
        Refusal{"key_cut_by_prefix", header(1) + node("\xc3", 1, 0, str("\xa9") + str("v")),
                "invalid node data at byte 13: a name or attribute is not UTF-8"},
        Refusal{"surrogate_value", header(1) + node("a", 1, 0, str("k") + str("\xed\xa0\x80")),
                "invalid node data at byte 13: a name or attribute is not UTF-8"},
        Refusal{"text_not_utf8", header(1) + std::string("\x03\x00\x00", 3) + str("a") + str("\xc0\x80"),
                "invalid node data at byte 13: text is not UTF-8"},
        Refusal{"long_prefix", header(1) + std::string("\x01\x00\x00\x81\x00" "a", 6),
                "invalid node data at byte 13: truncated name"},
        Refusal{"repeated_key", header(1) + node("a", 2, 0, str("k") + str("1") + str("k") + str("2")),
                "invalid node data at byte 13: repeated attribute name"},
        Refusal{"repeated_key_indexed", header(1) + node("a", 40, 0, many_attrs(40, true)),
                "invalid node data at byte 13: repeated attribute name"},
        Refusal{"huge_attr_count", header(1) + std::string("\x01\xff\xff\xff\xff\x0f\x00", 7) + str("a"),
                "invalid node data at byte 13: attribute count beyond the data"},
        Refusal{"huge_child_count", header(1) + std::string("\x01\x00\xff\xff\x03", 5) + str("a") + std::string(20, '\0'),
                "invalid node data at byte 13: child count beyond the data"},
        Refusal{"varint_past_64_bits", header(1) + std::string("\x01\x00\x00", 3) + std::string(9, '\xff') + "\x02",
                "invalid node data at byte 13: truncated name"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Serial, EveryTruncationAndEveryByteChangeIsSafe) {
    std::mt19937 rng(7);
    Held tree(random_dag(rng, 30));
    const std::string blob = blob_of(tree.get());
    for (std::size_t n = 0; n < blob.size(); ++n) {
        EXPECT_NE(restore(std::string_view(blob).substr(0, n)).error, "") << "cut at " << n;
    }
    // A changed byte may still spell a tree; it must never crash or leak,
    // and what it spells must hold together.
    for (std::size_t i = 0; i < blob.size(); ++i) {
        for (unsigned char x : {0x01, 0x80, 0xFF}) {
            std::string bad = blob;
            bad[i] = static_cast<char>(bad[i] ^ x);
            Restored r = restore(bad);
            if (r.error.empty()) expect_counts_match_places(r.tree.get());
        }
    }
}

}  // namespace
