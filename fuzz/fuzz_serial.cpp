// The byte form of trees (what unpickling reads) on arbitrary bytes. A blob
// is refused, with everything built so far freed (the leak checker sees the
// rest), or it spells a tree whose reference counts match its places; that
// tree written again and read back is the same tree with the same sharing.
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "core/tree/serial.hpp"
#include "core/tree/walk.hpp"
#include "tests/reference/compare.hpp"

using namespace arbolite;

namespace {

[[noreturn]] void fail(const std::string& what) {
    std::fprintf(stderr, "serial: %s\n", what.substr(0, 2000).c_str());
    __builtin_trap();
}

// The tree as its distinct nodes in the order they first appear, each with
// its fields and the numbers of its children: equal for two trees exactly
// when they have the same content and sharing. Linear in nodes and links, so
// a blob that spells a tree with exponentially many places stays cheap.
std::string shape(Node* root) {
    std::map<const Node*, std::size_t> number;
    std::vector<const Node*> order;
    struct V {
        std::map<const Node*, std::size_t>& number;
        std::vector<const Node*>& order;
        Walk enter(Node* n, std::size_t) {
            if (!number.try_emplace(n, order.size()).second) return Walk::Over;
            order.push_back(n);
            return Walk::Into;
        }
        void leave(Node*, std::size_t) {}
    } v{number, order};
    walk_preorder(root, v);
    std::string out;
    for (const Node* n : order) {
        check::render_head(out, n);
        out += '[';
        ChildCursor c(n);
        while (const Node* k = c.next()) out += std::to_string(number.at(k)) + ',';
        out += "]\n";
    }
    return out;
}

void check_counts(Node* root) {
    std::map<const Node*, std::intptr_t> places{{root, 1}};
    std::vector<const Node*> todo{root};
    std::map<const Node*, bool> seen;
    while (!todo.empty()) {
        const Node* n = todo.back();
        todo.pop_back();
        if (seen[n]) continue;
        seen[n] = true;
        ChildCursor c(n);
        while (const Node* k = c.next()) {
            ++places[k];
            todo.push_back(k);
        }
    }
    for (auto [n, count] : places) {
        if (n->head.refcount != count) fail("a reference count does not match the node's places");
    }
}

Node* restore_or_null(std::string_view blob) {
    auto outcome = restore_tree(blob, check::test_type());
    if (std::holds_alternative<CoreError>(outcome)) return nullptr;
    return std::get<RestoredTree>(outcome).root;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view blob(reinterpret_cast<const char*>(data), size);
    Node* tree = restore_or_null(blob);
    if (!tree) return 0;
    check_counts(tree);
    ByteBuffer again;
    serialize_tree(tree, again);
    Node* second = restore_or_null(again.view());
    if (!second) fail("a tree's own blob was refused");
    if (shape(second) != shape(tree)) fail("written and read again, the tree or its sharing changed");
    check::release(second);
    check::release(tree);
    return 0;
}
