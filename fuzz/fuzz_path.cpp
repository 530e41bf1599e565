// Path programs on arbitrary paths: compiling gives a program or an error
// whose span lies in the path; a program's matches on a tree with one node
// per place come in document order, each once; on a tree that shares nodes
// they are those of its expansion (one node per place), place by place.
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>
#include <vector>

#include "core/path/run.hpp"
#include "tests/reference/compare.hpp"

using namespace arbolite;

namespace {

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "path: %s\n", what.substr(0, 2000).c_str());
    __builtin_trap();
}

// Valid UTF-8, as a Python str gives it: every byte that does not start a
// valid sequence becomes '?'.
std::string as_utf8(const std::uint8_t* data, std::size_t size) {
    std::string out;
    for (std::size_t i = 0; i < size;) {
        const std::uint8_t b = data[i];
        std::size_t n = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
        bool ok = n > 0 && i + n <= size;
        for (std::size_t k = 1; ok && k < n; ++k) ok = (data[i + k] & 0xC0) == 0x80;
        if (ok && n > 1) {
            std::uint32_t cp = b & (0x7F >> n);
            for (std::size_t k = 1; k < n; ++k) cp = (cp << 6) | (data[i + k] & 0x3F);
            ok = cp >= (n == 2 ? 0x80u : n == 3 ? 0x800u : 0x10000u) && cp <= 0x10FFFF && (cp < 0xD800 || cp > 0xDFFF);
        }
        if (!ok) {
            out += '?';
            ++i;
            continue;
        }
        out.append(reinterpret_cast<const char*>(data + i), n);
        i += n;
    }
    return out;
}

struct Trees {
    Node* shared;
    Node* expanded;
    std::unordered_map<Node*, Node*> original;  // expanded node: the shared tree's
    std::unordered_map<Node*, std::size_t> order;  // expanded node: its place in document order

    Trees() {
        using check::E;
        Node* c = check::build_own(E("c").attr("k", "x").text("t").child(E("b").text("t")));
        Node* leaf = check::build_own(E("p:d").attr("k", "y"));
        Node* kids[] = {c, leaf, c};
        ++c->head.refcount;
        Node* a = make_own_node(check::test_type(), "a", {{"k", "x"}}, kids, 3, std::string_view("u"));
        Node* top[] = {a, a, c};
        a->head.refcount += 1;
        ++c->head.refcount;
        shared = make_own_node(check::test_type(), "r", {}, top, 3, std::nullopt);
        expanded = check::expand_places(shared, original);
        number(expanded);
    }

    // Each expanded node's place in document order, for the order check.
    void number(Node* root) {
        std::vector<Node*> todo{root};
        while (!todo.empty()) {
            Node* x = todo.back();
            todo.pop_back();
            order.emplace(x, order.size());
            std::vector<Node*> kids;
            ChildCursor k(x);
            while (Node* y = k.next()) kids.push_back(y);
            todo.insert(todo.end(), kids.rbegin(), kids.rend());
        }
    }
};

std::vector<Node*> matches(const PathProgram& p, Node* root) {
    std::vector<Node*> out;
    PathTally tally;
    if (run_path(p, root, SIZE_MAX, [] { return UINT64_MAX; }, out, tally, [] { return true; }) != PathRun::Done) {
        fail("a run that cannot be stopped stopped");
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Trees trees;
    const std::string path = as_utf8(data, size);
    auto compiled = compile_path(path);
    if (auto* e = std::get_if<CoreError>(&compiled)) {
        if (e->detail.empty() || e->offset > e->end || e->end > path.size()) fail("error span outside " + path);
        return 0;
    }
    const PathProgram& program = std::get<PathProgram>(compiled);
    const std::vector<Node*> one = matches(program, trees.expanded);
    for (std::size_t i = 1; i < one.size(); ++i) {
        if (trees.order.at(one[i - 1]) >= trees.order.at(one[i])) fail("out of document order: " + path);
    }
    const std::vector<Node*> many = matches(program, trees.shared);
    if (many.size() != one.size()) fail("shared and expanded differ in number: " + path);
    for (std::size_t i = 0; i < one.size(); ++i) {
        if (trees.original.at(one[i]) != many[i]) fail("shared and expanded differ: " + path);
    }
    return 0;
}
