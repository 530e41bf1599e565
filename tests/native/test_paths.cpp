// Path programs: what compiling refuses and where, runs on small trees, the
// walk over shared trees (counted per distinct node and state, refused when
// too many, pruned where empty) against the same tree with one node per
// place, a million levels without recursion, stopping on request, and
// positions among many siblings.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "core/path/prefixes.hpp"
#include "core/path/program.hpp"
#include "core/path/run.hpp"
#include "tests/reference/compare.hpp"

using namespace arbolite;
using check::E;
using check::Element;
using check::Held;

namespace {

PathProgram compiled(std::string_view path) {
    auto r = compile_path(path);
    if (auto* e = std::get_if<CoreError>(&r)) ADD_FAILURE() << path << ": " << e->detail;
    return std::get<PathProgram>(std::move(r));
}

struct Outcome {
    PathRun run;
    std::vector<Node*> found;
    PathTally tally;
    std::uint64_t polls = 0;
};

Outcome run(std::string_view path, Node* root, std::size_t want = SIZE_MAX, std::uint64_t most = UINT64_MAX,
            std::uint64_t stop_after = UINT64_MAX) {
    const PathProgram p = compiled(path);
    Outcome o;
    o.run = run_path(p, root, want, [&] { return most; }, o.found, o.tally, [&] { return ++o.polls <= stop_after; });
    return o;
}

// The texts of the matches, which name them in the trees below.
std::vector<std::string> texts(const std::vector<Node*>& found) {
    std::vector<std::string> out;
    for (const Node* n : found) out.emplace_back(node_text(n).value_or("-"));
    return out;
}

TEST(PathCompile, RefusesWithTheOffendingBytes) {
    struct Case {
        const char* path;
        const char* message;
        std::size_t begin, end;
    };
    const Case cases[] = {
        {"/a", "cannot use absolute path on element", 0, 1},
        {"a[@b=c]", "invalid predicate", 1, 7},
        {"a[0]", "XPath position >= 1 expected", 2, 3},
        {"\xc3\xa9[last()-x]", "unsupported expression", 9, 11},
        {"a/.//[", "invalid descendant", 5, 6},
        {"a[b", "unterminated predicate", 1, 3},
        {"a/{u}b", "names are matched as written, prefixes included: write 'prefix:name' as the document does, not "
                   "'{uri}name'", 2, 6},
    };
    for (const Case& c : cases) {
        auto r = compile_path(c.path);
        ASSERT_TRUE(std::holds_alternative<CoreError>(r)) << c.path;
        const CoreError& e = std::get<CoreError>(r);
        EXPECT_EQ(e.code, CoreError::Code::PathSyntax) << c.path;
        EXPECT_EQ(e.detail, c.message) << c.path;
        EXPECT_EQ(std::make_pair(e.offset, e.end), std::make_pair(std::uint64_t{c.begin}, std::uint64_t{c.end})) << c.path;
    }
}

TEST(PathCompile, AParentStepAfterManyDescendantStepsIsRefusedNotBuilt) {
    // Each `..` over a descendant-or-self step keeps both its branches, so
    // the branches double with every `..` that follows.
    std::string path = ".";
    for (int i = 0; i < 40; ++i) path += "//a/..";
    for (int i = 0; i < 40; ++i) path += "/..";
    auto r = compile_path(path);
    ASSERT_TRUE(std::holds_alternative<CoreError>(r));
    EXPECT_EQ(std::get<CoreError>(r).code, CoreError::Code::PathTooComplex);
    // A long path that grows only with its length compiles.
    std::string chain = "a";
    for (int i = 0; i < 100000; ++i) chain += "/a/..";
    EXPECT_TRUE(std::holds_alternative<PathProgram>(compile_path(chain)));
}

TEST(PathCompile, RecordsThePrefixesAPathUses) {
    const PathProgram p = compiled(".//x:a[@y:k][b]/z:*/../c[@id]");
    EXPECT_EQ(p.prefixes, (std::vector<std::string_view>{"x", "y", "z"}));
    EXPECT_TRUE(p.unprefixed_elements);
    EXPECT_FALSE(compiled("x:a/*[@k]").unprefixed_elements);
}

Element sample() {
    // r{1}[a{2}[b{3} b{4}] a{5}[c{6}[b{7}]] p:d{8}]; the numbers are texts.
    return E("r").text("1")
        .child(E("a").attr("k", "x").text("2").child(E("b").text("3")).child(E("b").text("4")))
        .child(E("a").text("5").child(E("c").text("6").child(E("b").attr("k", "y").text("7"))))
        .child(E("p:d").text("8"));
}

TEST(PathRun, StepsAndPredicatesOnASmallTree) {
    Held root(check::build_own(sample()));
    const std::pair<const char*, std::vector<std::string>> cases[] = {
        {"a", {"2", "5"}},
        {".//b", {"3", "4", "7"}},
        {"*/*", {"3", "4", "6"}},
        {".//b/..", {"2", "6"}},
        {".//b/../..", {"1", "5"}},
        {"a/b/../../p:d", {"8"}},
        {"p:*", {"8"}},
        {".//*[@k]", {"2", "7"}},
        {".//*[@k!='x']", {"7"}},
        {"a[b]", {"2"}},
        {"a[c='6']", {"5"}},
        {"a/b[last()]", {"4"}},
        {"a/b[last()-1]", {"3"}},
        {".//*[1]", {"2", "3", "6", "7", "8"}},
        {"*[.!='5']", {"2", "8"}},
        {"..", {}},
        {".[.='1']", {"1"}},
    };
    for (const auto& [path, expected] : cases) {
        const Outcome o = run(path, root.get());
        EXPECT_EQ(o.run, PathRun::Done) << path;
        EXPECT_EQ(texts(o.found), expected) << path;
    }
}

TEST(PathRun, PositionsAmongManySiblingsOfCollidingLength) {
    // More siblings than are compared pairwise; names of one length.
    Element root = E("r");
    for (int i = 0; i < 300; ++i) root.children.push_back(E(i % 3 ? "ab" : "ba").text(std::to_string(i)));
    Held tree(check::build_own(root));
    EXPECT_EQ(texts(run("ba[2]", tree.get()).found), (std::vector<std::string>{"3"}));
    EXPECT_EQ(texts(run("ab[last()]", tree.get()).found), (std::vector<std::string>{"299"}));
    EXPECT_EQ(texts(run("*[last()-1]", tree.get()).found), (std::vector<std::string>{"294", "298"}));
    EXPECT_EQ(run("*[201]", tree.get()).found.size(), 0u);
    EXPECT_EQ(run("ba[100]", tree.get()).found.size(), 1u);
}

TEST(PathRun, AMillionLevelsWithoutRecursion) {
    Held root(check::build_own(check::chain(1000000, "a", std::string("t"))));
    EXPECT_EQ(run(".//a", root.get()).found.size(), 999999u);
    EXPECT_EQ(run(".//a/..", root.get()).found.size(), 999999u);
    EXPECT_EQ(texts(run(".//a[.='t']", root.get()).found), (std::vector<std::string>{"t"}));
    EXPECT_EQ(run(".//a[.='t']/..", root.get()).found.size(), 1u);
    EXPECT_EQ(run(".//a[.='t']/../../..", root.get()).found.size(), 1u);
}

TEST(PathRun, StopsWhenPollSaysSo) {
    Held root(check::build_own(check::chain(100000)));
    const Outcome o = run(".//a", root.get(), SIZE_MAX, UINT64_MAX, 5);
    EXPECT_EQ(o.run, PathRun::Stopped);
    EXPECT_EQ(o.polls, 6u);
    EXPECT_EQ(o.tally.visits, 6 * kPollInterval);
    EXPECT_EQ(run(".//a", root.get(), 10).found.size(), 10u);
}

// 41 nodes, each holding the previous one twice: 2^41 - 1 places.
struct Doubling {
    std::vector<Node*> made;
    Node* root;
    Doubling() {
        std::vector<Attr> attrs{{"a", "1"}};
        Node* n = make_own_node(check::test_type(), "leaf", {{"k", "v"}}, nullptr, 0, std::string_view("t"));
        for (int i = 0; i < 40; ++i) {
            Node* kids[] = {n, n};
            ++n->head.refcount;  // the second slot
            n = make_own_node(check::test_type(), "n", attrs, kids, 2, std::nullopt);
        }
        root = n;
    }
    ~Doubling() { check::release(root); }
};

TEST(PathRun, ASharedTreeIsWeighedFirst) {
    Doubling d;
    const Outcome all = run(".//leaf", d.root, SIZE_MAX, std::uint64_t{1} << 30);
    EXPECT_EQ(all.run, PathRun::TooMany);
    EXPECT_EQ(all.tally.matches, std::uint64_t{1} << 40);
    EXPECT_TRUE(all.found.empty());
    // Counting visits each (node, states) once; these would take days per place.
    EXPECT_LT(all.tally.visits, 1000u);
    const Outcome first = run(".//leaf", d.root, 1, std::uint64_t{1} << 30);
    EXPECT_EQ(first.run, PathRun::Done);
    EXPECT_EQ(texts(first.found), (std::vector<std::string>{"t"}));
    const Outcome none = run(".//n[@a='2']", d.root);
    EXPECT_EQ(none.run, PathRun::Done);
    EXPECT_TRUE(none.found.empty());
    EXPECT_LT(none.tally.visits, 1000u);
    // Few matches among the places are collected without visiting the rest.
    const Outcome near = run("n/n/n/n[leaf]/..", d.root);
    EXPECT_EQ(near.found.size(), 0u);
    const Outcome deep = run("*/*/*/*/*/*/*/*/*/*", d.root);
    EXPECT_EQ(deep.found.size(), 1024u);
}

// A random tree in which some nodes sit in several places, and the same
// tree with one node per place, each node of which names its original.
struct Twins {
    Node* shared = nullptr;
    Node* expanded = nullptr;
    std::unordered_map<Node*, Node*> copy_of;  // expanded node: its original

    explicit Twins(unsigned seed) {
        std::mt19937 rng(seed);
        const char* names[] = {"a", "b", "c"};
        std::vector<Node*> pool;
        for (int i = 0; i < 40; ++i) {
            std::vector<Node*> kids;
            for (unsigned k = 0, n = pool.empty() ? 0 : rng() % 4; k < n; ++k) {
                Node* c = pool[rng() % pool.size()];
                ++c->head.refcount;
                kids.push_back(c);
            }
            std::vector<Attr> attrs;
            if (rng() % 2) attrs.push_back({"k", rng() % 2 ? "x" : "y"});
            const std::string text = std::to_string(rng() % 3);
            pool.push_back(make_own_node(check::test_type(), names[rng() % 3], attrs, kids.data(), kids.size(), text));
        }
        shared = pool.back();
        for (std::size_t i = 0; i + 1 < pool.size(); ++i) check::release(pool[i]);  // the pool's own references
        if (weigh_places(shared, [](const Node*) -> std::uint64_t { return 1; }) <= 100000) expanded = check::expand_places(shared, copy_of);
    }
    ~Twins() {
        check::release(shared);
        if (expanded) check::release(expanded);
    }

    Node* original(Node* copy) const { return copy_of.at(copy); }
};

TEST(PathRun, SharedTreesGiveWhatTheirExpansionGives) {
    const char* paths[] = {".//a", ".//b/..", ".//*[@k='x']/../c", "*/*[2]", ".//c[last()]", ".//a[b]//c",
                           ".//*[.='1']/../..", "a/b/../c/..", ".//b[c!='2']", ".//*[1]/.."};
    std::size_t nonempty = 0;
    std::size_t trees = 0;
    for (unsigned seed = 1; seed <= 40; ++seed) {
        Twins t(seed);
        if (!t.expanded) continue;
        ++trees;
        for (const char* path : paths) {
            const Outcome s = run(path, t.shared);
            const Outcome x = run(path, t.expanded);
            ASSERT_EQ(s.run, PathRun::Done);
            std::vector<Node*> mapped;
            for (Node* n : x.found) mapped.push_back(t.original(n));
            EXPECT_EQ(s.found, mapped) << "seed " << seed << ": " << path;
            nonempty += !s.found.empty();
        }
    }
    EXPECT_GE(trees, 20u);
    EXPECT_GT(nonempty, 100u);
}

TEST(PathPrefixes, AMapMustAgreeWithTheDeclarationsBelow) {
    Held root(check::build_own(E("r").attr("xmlns:x", "u").attr("xmlns", "d")
                                   .child(E("x:a"))
                                   .child(E("b").attr("xmlns:x", "v").child(E("x:a")))));
    const PathProgram p = compiled(".//x:a");
    EXPECT_FALSE(check_prefix_map(root.get(), p, {{"y", "w"}}));
    auto d = check_prefix_map(root.get(), p, {{"x", "u"}});
    ASSERT_TRUE(d);
    EXPECT_EQ(d->declared, std::optional<std::string>("v"));
    const PathProgram plain = compiled("b");
    EXPECT_FALSE(check_prefix_map(root.get(), plain, {{"", "d"}}));
    EXPECT_TRUE(check_prefix_map(root.get(), plain, {{"", "e"}}));
    ChildCursor kids(root.get());
    Node* first = kids.next();
    auto undeclared = check_prefix_map(first, p, {{"x", "u"}});
    ASSERT_TRUE(undeclared);
    EXPECT_FALSE(undeclared->declared);
}

}  // namespace
