// Node.search and its three fixed-rule forms: a pre-order walk that collects
// the tree's own node objects.
#include <climits>
#include <optional>
#include <string_view>
#include <vector>

#include "boundary/args.hpp"
#include "boundary/call.hpp"
#include "boundary/convert.hpp"
#include "src/entities/methods.hpp"
#include "src/entities/node.hpp"
#include "src/entities/search_type.hpp"

namespace arbolite {
namespace {

constexpr Params kSearchParams{"Node", "search", {"by", "value", "depth"}, 3, 2};
constexpr Params kByNameParams{"Node", "search_by_name", {"name", "depth"}, 2, 1};
constexpr Params kByAttrParams{"Node", "search_by_attr", {"key", "depth"}, 2, 1};
constexpr Params kByTextParams{"Node", "search_by_text", {"text", "depth"}, 2, 1};

bool matches(const NodeData& d, SearchRule rule, std::string_view value) {
    switch (rule) {
        case SearchRule::Tag: return d.name == value;
        case SearchRule::Attr: return d.attrs.contains(value);
        case SearchRule::Text: return d.text && *d.text == value;
    }
    return false;
}

// An explicit stack keeps pre-order without native recursion, so the depth of
// the tree is bounded by memory only. A negative limit never reaches 0 and so
// means no limit, as None does.
Result<object> search_tree(NodeObject* root, SearchRule rule, std::string_view value, std::optional<long> limit) {
    struct Frame {
        SharedRead read;
        long remaining;  // levels still allowed below this node; < 0 for unlimited
        size_t next_child;
    };
    const long start = limit ? *limit : -1;
    std::vector<PyObject*> found;
    std::vector<Frame> stack;

    auto visit = [&](NodeObject* node, long remaining) -> Status {
        ARBOLITE_TRY(read, SharedRead::enter(node));
        if (matches(read.data(), rule, value)) found.push_back(reinterpret_cast<PyObject*>(node));
        if (remaining != 0 && !read.data().children.empty()) {
            stack.push_back(Frame{std::move(read), remaining, 0});
        }
        return ok();
    };

    ARBOLITE_CHECK(visit(root, start));
    while (!stack.empty()) {
        Frame& top = stack.back();
        const ChildList& children = top.read.data().children;
        if (top.next_child == children.size()) {
            stack.pop_back();
            continue;
        }
        NodeObject* child = as_node(children[top.next_child++]);
        const long below = top.remaining < 0 ? -1 : top.remaining - 1;
        ARBOLITE_CHECK(visit(child, below));
    }
    // The nodes are kept alive by the tree the caller holds; references are
    // taken only when the list is built.
    object list = steal(check_created(PyList_New(static_cast<Py_ssize_t>(found.size()))));
    for (size_t i = 0; i < found.size(); ++i) {
        PyList_SET_ITEM(list.ptr(), static_cast<Py_ssize_t>(i), borrow(found[i]).release());
    }
    return list;
}

Result<std::optional<long>> convert_depth(PyObject* slot) {
    PyObject* depth = given(slot);
    if (!depth) return std::optional<long>();
    auto v = long_in_range(depth, INT_MIN, INT_MAX);
    if (!v) return argument_error("depth", std::move(v).error());
    return std::optional<long>(*v);
}

Result<object> run(PyObject* self, SearchRule rule, const char* value_name, PyObject* value_obj,
                   PyObject* depth_obj) {
    auto value = utf8_view(value_obj);
    if (!value) return argument_error(value_name, std::move(value).error());
    ARBOLITE_TRY(depth, convert_depth(depth_obj));
    return search_tree(as_node(self), rule, *value, depth);
}

template <SearchRule Rule>
PyObject* fixed_rule(const Params& params, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames) {
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
