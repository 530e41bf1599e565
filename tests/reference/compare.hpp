// What the native tests and the fuzzers share: the kernels this processor
// runs, a compact rendering of node trees, exact comparison of the reader's
// outcome with the reference reader's, own-node trees built from reference
// elements, and reference-counted release. Free of GoogleTest, so that the
// fuzzers use the same code: a check returns a description of the first
// difference, or an empty string.
#pragma once
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "core/base/cpu.hpp"
#include "core/read/parser.hpp"
#include "core/text/white_space.hpp"
#include "core/tree/own_node.hpp"
#include "tests/reference/reference_reader.hpp"

namespace arbolite::check {

using reference::Element;
using RefOutcome = std::variant<Element, CoreError>;

// Nodes only carry their type as an opaque pointer: any address will do.
inline const void* test_type() {
    static const int tag = 0;
    return &tag;
}

inline std::vector<cpu::Kernel> runnable_kernels() {
    std::vector<cpu::Kernel> out;
    for (cpu::Kernel k : {cpu::Kernel::Scalar, cpu::Kernel::Sse2, cpu::Kernel::Avx2}) {
        if (cpu::can_run(k)) out.push_back(k);
    }
    return out;
}

inline const char* kernel_name(cpu::Kernel k) {
    switch (k) {
        case cpu::Kernel::Scalar: return "scalar";
        case cpu::Kernel::Sse2: return "sse2";
        case cpu::Kernel::Avx2: return "avx2";
    }
    return "?";
}

// ------------------------------------------------------------------ rendering
// name{k=v,...}'text'[child,...]; absent parts are left out. Iterative, so a
// million levels render without a million native frames.

inline void render_head(std::string& out, std::string_view name, const std::vector<std::pair<std::string_view, std::string_view>>& attrs,
                        const std::optional<std::string_view>& text) {
    out.append(name);
    if (!attrs.empty()) {
        out += '{';
        for (std::size_t i = 0; i < attrs.size(); ++i) {
            if (i) out += ',';
            out.append(attrs[i].first).append("=").append(attrs[i].second);
        }
        out += '}';
    }
    if (text) out.append("'").append(*text).append("'");
}

inline void render_head(std::string& out, const Node* n) {
    std::vector<std::pair<std::string_view, std::string_view>> attrs;
    for (const Attr a : node_attrs(n)) attrs.emplace_back(a.key, a.value);
    render_head(out, node_name(n), attrs, node_text(n));
}

inline void render_head(std::string& out, const Element& e) {
    std::vector<std::pair<std::string_view, std::string_view>> attrs(e.attrs.begin(), e.attrs.end());
    std::optional<std::string_view> text;
    if (e.text) text = *e.text;
    render_head(out, e.name, attrs, text);
}

inline std::string render(const Node* root) {
    std::string out;
    struct Frame {
        ChildCursor cursor;
        bool first;
    };
    std::vector<Frame> stack;
    render_head(out, root);
    if (root->child_count) {
        out += '[';
        stack.push_back({ChildCursor(root), true});
    }
    while (!stack.empty()) {
        const Node* c = stack.back().cursor.next();
        if (!c) {
            out += ']';
            stack.pop_back();
            continue;
        }
        if (!stack.back().first) out += ',';
        stack.back().first = false;
        render_head(out, c);
        if (c->child_count) {
            out += '[';
            stack.push_back({ChildCursor(c), true});
        }
    }
    return out;
}

inline std::string render(const Element& root) {
    std::string out;
    std::vector<std::pair<const Element*, std::size_t>> stack;
    render_head(out, root);
    if (!root.children.empty()) {
        out += '[';
        stack.push_back({&root, 0});
    }
    while (!stack.empty()) {
        auto& [e, i] = stack.back();
        if (i == e->children.size()) {
            out += ']';
            stack.pop_back();
            continue;
        }
        if (i) out += ',';
        const Element& c = e->children[i++];
        render_head(out, c);
        if (!c.children.empty()) {
            out += '[';
            stack.push_back({&c, 0});
        }
    }
    return out;
}

inline std::string render(const RefOutcome& r) {
    if (auto* e = std::get_if<CoreError>(&r)) return "error: " + e->message();
    return render(std::get<Element>(r));
}

// ------------------------------------------------------------------ comparison

inline std::string describe(const CoreError& e) {
    return "error kind " + std::to_string(static_cast<int>(e.kind)) + " '" + e.message() + "'";
}

// The first difference between a node tree and an element tree, or "".
// Also checks what every node must satisfy whatever the input: its own
// lookups find each attribute, a present text is non-empty and trimmed, a
// parsed node's chain holds exactly child_count children.
inline std::string diff_tree(const Node* got, const Element& want, const void* type = nullptr,
                             std::uint64_t* counted = nullptr) {
    std::vector<std::pair<const Node*, const Element*>> todo{{got, &want}};
    std::uint64_t nodes = 0;
    std::string path_hint;
    while (!todo.empty()) {
        auto [n, e] = todo.back();
        todo.pop_back();
        ++nodes;
        const std::string at = " at <" + e->name.substr(0, 60) + ">";
        if (type && n->head.type != type) return "node type differs" + at;
        if (node_name(n) != e->name) return "name '" + std::string(node_name(n)).substr(0, 60) + "' differs" + at;
        if (n->attr_count != e->attrs.size()) {
            return "attribute count " + std::to_string(n->attr_count) + " != " + std::to_string(e->attrs.size()) + at;
        }
        std::size_t i = 0;
        for (const Attr a : node_attrs(n)) {
            const auto& [k, v] = e->attrs[i++];
            if (a.key != k) return "attribute key '" + std::string(a.key) + "' != '" + k + "'" + at;
            if (a.value != v) return "value of '" + k + "' is '" + std::string(a.value) + "', not '" + v + "'" + at;
            const auto found = find_attr(n, k);
            if (!found || *found != v) return "find_attr misses '" + k + "'" + at;
        }
        if (!e->attrs.empty()) {
            // A key of every length up to the longest plus one, absent from the
            // list, must not be found (the index is probed with near misses).
            std::set<std::string_view> keys;
            for (const auto& kv : e->attrs) keys.insert(kv.first);
            const std::string probe = e->attrs.front().first + "\x01";
            if (!keys.count(probe) && find_attr(n, probe)) return "find_attr found an absent key" + at;
        }
        const auto text = node_text(n);
        if (text.has_value() != e->text.has_value() || (text && *text != *e->text)) {
            return "text '" + std::string(text.value_or("(absent)")).substr(0, 80) + "' != '" +
                   e->text.value_or("(absent)").substr(0, 80) + "'" + at;
        }
        if (n->child_count != e->children.size()) {
            return "child count " + std::to_string(n->child_count) + " != " + std::to_string(e->children.size()) + at;
        }
        ChildCursor cursor(n);
        std::size_t k = 0;
        for (const Node* c = cursor.next(); c; c = cursor.next()) {
            if (k == e->children.size()) return "child chain longer than child_count" + at;
            todo.push_back({c, &e->children[k++]});
        }
        if (k != e->children.size()) return "child chain shorter than child_count" + at;
    }
    if (counted) *counted = nodes;
    return {};
}

// Invariants of a successful parse that the reference cannot state: nodes
// hold one reference each, live in slabs, and their texts are trimmed.
inline std::string parsed_invariants(const Node* root) {
    std::vector<const Node*> todo{root};
    while (!todo.empty()) {
        const Node* n = todo.back();
        todo.pop_back();
        if (n->head.refcount != 1) return "a parsed node's reference count is not 1";
        if (n->is_own()) return "a parsed node claims to be an own node";
        if (n->slab_offset % 8 != 0) return "a parsed node is not 8-aligned in its slab";
        if (node_name(n).empty()) return "a parsed node has an empty name";
        if (const auto t = node_text(n)) {
            if (t->empty()) return "a present text is empty";
            if (trim_white_space(*t) != *t) return "a text is not trimmed";
        }
        ChildCursor cursor(n);
        while (const Node* c = cursor.next()) todo.push_back(c);
    }
    return {};
}

// "" when the one-pass reader's outcome is the reference's: the same error
// (kind, detail and offset), or the same tree with node_count nodes.
inline std::string diff_outcome(const ParseOutcome& got, const RefOutcome& want, const void* type) {
    if (const auto* err = std::get_if<CoreError>(&want)) {
        if (!got.error) return "got a tree, expected " + describe(*err);
        if (got.root) return "an error outcome carries a root";
        if (!(*got.error == *err)) return "got " + describe(*got.error) + ", expected " + describe(*err);
        return {};
    }
    if (got.error) return "got " + describe(*got.error) + ", expected a tree";
    if (!got.root) return "no error and no root";
    std::uint64_t nodes = 0;
    std::string d = diff_tree(got.root, std::get<Element>(want), type, &nodes);
    if (!d.empty()) return d;
    if (got.node_count != nodes) {
        return "node_count " + std::to_string(got.node_count) + " != " + std::to_string(nodes) + " nodes";
    }
    return parsed_invariants(got.root);
}

// Parses with `kernel` into a throwaway arena (its destructor frees the
// nodes) and compares with the reference outcome.
inline std::string diff_kernel(cpu::Kernel kernel, std::string_view doc, std::string_view root, const RefOutcome& want) {
    Arena arena(doc.size());
    const ParseOutcome got = parse_document_with(kernel, doc, root, test_type(), arena);
    std::string d = diff_outcome(got, want, test_type());
    if (!d.empty()) d = std::string(kernel_name(kernel)) + ": " + d;
    return d;
}

// Every runnable kernel against the reference; `was_tree` tells whether the
// reference found the element.
inline std::string diff_all_kernels(std::string_view doc, std::string_view root, bool* was_tree = nullptr) {
    const RefOutcome want = reference::parse_root(doc, root);
    if (was_tree) *was_tree = std::holds_alternative<Element>(want);
    for (cpu::Kernel k : runnable_kernels()) {
        std::string d = diff_kernel(k, doc, root, want);
        if (!d.empty()) return d;
    }
    return {};
}

// ------------------------------------------------------------------ element trees

// Chainable element trees: E("r").attr("k", "v").text("t").child(E("c")).
struct E {
    Element e;
    explicit E(std::string name) { e.name = std::move(name); }
    E&& attr(std::string k, std::string v) && {
        e.attrs.emplace_back(std::move(k), std::move(v));
        return std::move(*this);
    }
    E&& text(std::string t) && {
        e.text = std::move(t);
        return std::move(*this);
    }
    E&& child(E&& c) && {
        e.children.push_back(std::move(c.e));
        return std::move(*this);
    }
    E&& child(Element&& c) && {
        e.children.push_back(std::move(c));
        return std::move(*this);
    }
    operator Element() && { return std::move(e); }
};

// A deep copy, without recursion.
inline Element clone(const Element& src) {
    Element root;
    std::vector<std::pair<const Element*, Element*>> todo{{&src, &root}};
    while (!todo.empty()) {
        auto [from, to] = todo.back();
        todo.pop_back();
        to->name = from->name;
        to->attrs = from->attrs;
        to->text = from->text;
        to->children.resize(from->children.size());
        for (std::size_t i = 0; i < from->children.size(); ++i) todo.push_back({&from->children[i], &to->children[i]});
    }
    return root;
}

// A chain of `depth` elements named `name`, the innermost with `text`.
inline Element chain(std::size_t depth, const std::string& name = "a", std::optional<std::string> text = {}) {
    Element root;
    root.name = name;
    Element* cur = &root;
    for (std::size_t i = 1; i < depth; ++i) {
        cur = &cur->children.emplace_back();
        cur->name = name;
    }
    cur->text = std::move(text);
    return root;
}

// ------------------------------------------------------------------ own trees

// Own nodes for an element tree, children before parents; the root holds
// the one reference the caller releases. With `merge`, repeated keys are
// first merged by merge_duplicate_keys, as the module does for a dict's items.
// A tree that shares nodes, copied with one own node per place, children
// first and without recursion; `original` maps each copy to the node it
// copies.
inline Node* expand_places(Node* root, std::unordered_map<Node*, Node*>& original) {
    struct Frame {
        Node* from;
        ChildCursor cursor;
        std::vector<Node*> made;
    };
    std::vector<Frame> stack{{root, ChildCursor(root), {}}};
    for (;;) {
        Frame& f = stack.back();
        if (Node* c = f.cursor.next()) {
            stack.push_back({c, ChildCursor(c), {}});
            continue;
        }
        std::vector<Attr> attrs;
        for (const Attr a : node_attrs(f.from)) attrs.push_back(a);
        Node* n = make_own_node(test_type(), node_name(f.from), attrs, f.made.data(), f.made.size(), node_text(f.from));
        original.emplace(n, f.from);
        stack.pop_back();
        if (stack.empty()) return n;
        stack.back().made.push_back(n);
    }
}

inline Node* build_own(const Element& root, const void* type = test_type(), bool merge = false) {
    struct Frame {
        const Element* e;
        std::size_t next;
        std::vector<Node*> made;
    };
    std::vector<Frame> stack;
    stack.push_back({&root, 0, {}});
    for (;;) {
        Frame& f = stack.back();
        if (f.next < f.e->children.size()) {
            const Element* c = &f.e->children[f.next++];
            stack.push_back({c, 0, {}});
            continue;
        }
        std::vector<Attr> attrs;
        for (const auto& [k, v] : f.e->attrs) attrs.push_back({k, v});
        if (merge) merge_duplicate_keys(attrs);
        std::optional<std::string_view> text;
        if (f.e->text) text = *f.e->text;
        Node* n = make_own_node(type, f.e->name, attrs, f.made.data(), f.made.size(), text);
        stack.pop_back();
        if (stack.empty()) return n;
        stack.back().made.push_back(n);
    }
}

// Drops one reference to `root`; whatever that leaves unreferenced is freed,
// own nodes and parsed ones alike, without recursion.
inline void release(Node* root) {
    if (--root->head.refcount > 0) return;
    std::vector<Node*> dying{root};
    while (!dying.empty()) {
        Node* n = dying.back();
        dying.pop_back();
        ChildCursor cursor(n);
        while (Node* c = cursor.next()) {
            if (--c->head.refcount == 0) dying.push_back(c);
        }
        free_node_storage(n);
    }
}

// Owns one reference to a tree for the length of a scope.
class Held {
public:
    explicit Held(Node* n = nullptr) noexcept : n_(n) {}
    Held(Held&& o) noexcept : n_(std::exchange(o.n_, nullptr)) {}
    Held& operator=(Held&& o) noexcept {
        if (this != &o) {
            reset();
            n_ = std::exchange(o.n_, nullptr);
        }
        return *this;
    }
    ~Held() { reset(); }
    void reset() noexcept {
        if (n_) release(n_);
        n_ = nullptr;
    }
    Node* get() const noexcept { return n_; }

private:
    Node* n_;
};

}  // namespace arbolite::check
