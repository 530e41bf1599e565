// Node.search and its three fixed-rule forms: a pre-order walk that collects
// the tree's own node objects. Nodes never change, so the walk takes no
// reference per visited node; a match costs one, when the list is built.
#include <climits>
#include <optional>
#include <string_view>
#include <vector>

#include "core/tree/places.hpp"
#include "core/tree/walk.hpp"
#include "python/boundary/args.hpp"
#include "python/boundary/call.hpp"
#include "python/boundary/convert.hpp"
#include "python/boundary/limits.hpp"
#include "python/node/methods.hpp"
#include "python/node/node_object.hpp"
#include "python/node/search_type.hpp"

namespace arbolite {
namespace {

constexpr Params kSearchParams{"Node", "search", {"by", "value", "depth"}, 3, 2};
constexpr Params kByNameParams{"Node", "search_by_name", {"name", "depth"}, 2, 1};
constexpr Params kByAttrParams{"Node", "search_by_attr", {"key", "depth"}, 2, 1};
constexpr Params kByTextParams{"Node", "search_by_text", {"text", "depth"}, 2, 1};

struct NameRule {
    std::string_view name;
    bool operator()(const Node* n) const noexcept {
        std::uint64_t len;
        const char* bytes = get_varint(name_field_of(n), len);
        return len == name.size() && std::memcmp(bytes, name.data(), name.size()) == 0;
    }
};

struct AttrRule {
    std::string_view key;
    bool operator()(const Node* n) const noexcept { return n->attr_count != 0 && find_attr(n, key).has_value(); }
};

struct TextRule {
    std::string_view text;
    bool operator()(const Node* n) const noexcept {
        const auto t = node_text(n);
        return t && *t == text;
    }
};

// The matches, in document order, once per place. A negative limit never
// reaches 0 and so means no limit, as None does. The first walk assumes no
// node is shared; one that meets a node held more than once (the only kind
// that can be met in several places) stops, and the matches are weighed per
// distinct node instead: a result too large to hold is refused before any of
// it is built, and the walk that collects them skips every subtree with no
// match within reach, so its time follows the matches, not the places.
// One pass of the walk. The first (kWeighed false) assumes no node is
// shared and stops at an own node with a child held more than once; the second skips shared
// subtrees with no match within reach. Per node the first costs what a plain
// walk costs, plus a counter for the signal check.
template <class Rule, bool kWeighed>
struct Collector {
    const Rule& rule;
    long limit;
    std::vector<Node*>& found;
    std::optional<Error>& error;
    const PlaceWeights* nearest;  // the depth of each shared subtree's nearest match
    std::uint64_t most;           // matches that can be held
    bool shared = false;
    std::uint32_t ticks = 0;  // places since the last signal check

    Walk enter(Node* n, std::size_t depth) {
        if ((++ticks & 4095) == 0) [[unlikely]] {
            if (Status s = SignalCheck::poll(); !s) {
                error.emplace(std::move(s).error());
                return Walk::Stop;
            }
        }
        if constexpr (kWeighed) {
            if (auto it = nearest->find(n); it != nearest->end()) {
                const bool none = it->second == UINT64_MAX;
                if (none || (limit >= 0 && it->second > static_cast<std::uint64_t>(limit) - depth)) return Walk::Over;
            }
        } else if (n->is_own()) [[unlikely]] {
            // A parsed node has one parent; a second place is always in an
            // own node's child array, so only there can a child be shared
            // (a node merely held by the caller costs nothing).
            ChildCursor children(n);
            while (Node* c = children.next()) {
                if (c->head.refcount > 1) {
                    shared = true;
                    return Walk::Stop;
                }
            }
        }
        if (rule(n)) {
            if constexpr (kWeighed) {
                if (found.size() >= most) {
                    error.emplace(result_too_large("the list of matches", UINT64_MAX));
                    return Walk::Stop;
                }
            }
            found.push_back(n);
        }
        if (limit >= 0 && static_cast<std::size_t>(limit) <= depth) return Walk::Over;
        return n->child_count ? Walk::Into : Walk::Over;
    }
    void leave(Node*, std::size_t) {}
};

// The matches, in document order, once per place. A negative limit never
// reaches 0 and so means no limit, as None does. A walk that meets an own
// node with a child held more than once (the only kind that can be met in
// several places) stops, and the matches are weighed per distinct node instead: a result
// too large to hold is refused before any of it is built, and the walk that
// collects them skips every subtree with no match within reach, so its time
// follows the matches, not the places.
template <class Rule>
Result<std::vector<Node*>> collect(Node* root, const Rule& rule, long limit) {
    std::vector<Node*> found;
    std::optional<Error> error;
    Collector<Rule, false> plain{rule, limit, found, error, nullptr, UINT64_MAX};
    walk_preorder(root, plain);
    if (error) return std::move(*error);
    if (!plain.shared) return found;

    const std::uint64_t most = std::min<std::uint64_t>(PY_SSIZE_T_MAX, memory_limit()) / sizeof(PyObject*);
    const auto is = [&](const Node* n) -> std::uint64_t { return rule(n) ? 1 : 0; };
    // Without a limit the count is the result's; with one it is only known
    // as the walk goes.
    if (limit < 0) {
        const std::uint64_t count = weigh_places(root, is);
        if (count > most) return result_too_large("the list of matches", saturating_mul(count, sizeof(PyObject*)));
    }
    PlaceWeights depths;
    nearest_place(root, is, depths);
    found.clear();
    Collector<Rule, true> weighed{rule, limit, found, error, &depths, most};
    walk_preorder(root, weighed);
    if (error) return std::move(*error);
    return found;
}

Result<object> search_tree(Node* root, SearchRule rule, std::string_view value, long limit) {
    Result<std::vector<Node*>> got = std::vector<Node*>{};
    switch (rule) {
        case SearchRule::Tag: got = collect(root, NameRule{value}, limit); break;
        case SearchRule::Attr: got = collect(root, AttrRule{value}, limit); break;
        case SearchRule::Text: got = collect(root, TextRule{value}, limit); break;
    }
    if (!got) return std::move(got).error();
    const std::vector<Node*>& found = *got;
    // The caller's reference keeps the tree, and so every match, alive.
    object list = steal(check_created(PyList_New(static_cast<Py_ssize_t>(found.size()))));
    for (std::size_t i = 0; i < found.size(); ++i) {
        PyList_SET_ITEM(list.ptr(), static_cast<Py_ssize_t>(i), borrow(as_object(found[i])).release());
    }
    return list;
}

Result<long> convert_depth(PyObject* slot) {
    PyObject* depth = given(slot);
    if (!depth) return -1L;
    auto v = long_in_range(depth, INT_MIN, INT_MAX);
    if (!v) return argument_error("depth", std::move(v).error());
    return *v < 0 ? -1L : *v;
}

Result<object> run(PyObject* self, SearchRule rule, const char* value_name, PyObject* value_obj, PyObject* depth_obj) {
    auto value = utf8_view(value_obj);
    if (!value) return argument_error(value_name, std::move(value).error());
    ARBOLITE_TRY(depth, convert_depth(depth_obj));
    return search_tree(as_node(self), rule, *value, depth);
}

template <SearchRule Rule>
PyObject* fixed_rule(const Params& params, PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> Result<object> {
        ARBOLITE_TRY(slots, extract_arguments(params, args, nargs, kwnames));
        ARBOLITE_TRY(node, node_receiver(self));
        (void)node;
        return run(self, Rule, params.names[0], slots[0], slots[1]);
    });
}

}  // namespace

PyObject* node_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> Result<object> {
        ARBOLITE_TRY(slots, extract_arguments(kSearchParams, args, nargs, kwnames));
        ARBOLITE_TRY(node, node_receiver(self));
        (void)node;
        auto rule = search_type_value(slots[0]);
        if (!rule) return argument_error("by", std::move(rule).error());
        return run(self, *rule, "value", slots[1], slots[2]);
    });
}

PyObject* node_search_by_name(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return fixed_rule<SearchRule::Tag>(kByNameParams, self, args, nargs, kwnames);
}

PyObject* node_search_by_attr(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return fixed_rule<SearchRule::Attr>(kByAttrParams, self, args, nargs, kwnames);
}

PyObject* node_search_by_text(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return fixed_rule<SearchRule::Text>(kByTextParams, self, args, nargs, kwnames);
}

}  // namespace arbolite
