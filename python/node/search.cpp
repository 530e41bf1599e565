// Node.search and its three fixed-rule forms: a pre-order walk that collects
// the tree's own node objects. Nodes never change, so the walk takes no
// reference per visited node; a match costs one, when the list is built.
#include <climits>
#include <optional>
#include <string_view>
#include <vector>

#include "core/tree/walk.hpp"
#include "python/boundary/args.hpp"
#include "python/boundary/call.hpp"
#include "python/boundary/convert.hpp"
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

// A negative limit never reaches 0 and so means no limit, as None does.
template <class Rule>
std::vector<Node*> collect(Node* root, const Rule& rule, long limit) {
    std::vector<Node*> found;
    struct Visitor {
        const Rule& rule;
        long limit;
        std::vector<Node*>& found;
        Walk enter(Node* n, std::size_t depth) {
            if (rule(n)) found.push_back(n);
            if (limit >= 0 && static_cast<std::size_t>(limit) <= depth) return Walk::Over;
            return n->child_count ? Walk::Into : Walk::Over;
        }
        void leave(Node*, std::size_t) {}
    } visitor{rule, limit, found};
    walk_preorder(root, visitor);
    return found;
}

Result<object> search_tree(Node* root, SearchRule rule, std::string_view value, long limit) {
    std::vector<Node*> found;
    switch (rule) {
        case SearchRule::Tag: found = collect(root, NameRule{value}, limit); break;
        case SearchRule::Attr: found = collect(root, AttrRule{value}, limit); break;
        case SearchRule::Text: found = collect(root, TextRule{value}, limit); break;
    }
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
