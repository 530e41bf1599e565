// The Node class: construction, release, properties and the type object.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <type_traits>
#include <vector>

#include "core/tree/own_node.hpp"
#include "python/boundary/args.hpp"
#include "python/boundary/call.hpp"
#include "python/boundary/convert.hpp"
#include "python/node/methods.hpp"
#include "python/module_state.hpp"
#include "python/node/node_object.hpp"

namespace arbolite {
namespace {

// ---------------------------------------------------------------- release

// Releasing a node releases one reference per child. A child whose only
// reference that was dies with it; rather than recursing through tp_dealloc
// once per level (a chain a million deep would overflow the native stack),
// the dying subtree is walked here, in document order (which is memory order
// for parsed nodes), with an explicit stack. Nothing in the walk runs Python
// code: a child that survives only loses a reference.
//
// A parsed node's memory can go as soon as its first child is known (its
// children are linked through themselves); an own node's holds the array of
// its children, so it goes after them.
struct Dying {
    ChildCursor children;
    Node* own;  // an own node to free once its children are done
};

// The walk's stack: on the native stack while the tree is shallow, which is
// every tree but a few; on the heap past that.
class DyingStack {
public:
    DyingStack() noexcept = default;
    DyingStack(const DyingStack&) = delete;
    DyingStack& operator=(const DyingStack&) = delete;
    ~DyingStack() {
        if (data_ != local()) std::free(data_);
    }

    // False when no memory is left to grow into.
    bool push(const Dying& d) noexcept {
        if (size_ == capacity_ && !grow()) return false;
        data_[size_++] = d;
        return true;
    }
    Dying& back() noexcept { return data_[size_ - 1]; }
    void pop() noexcept { --size_; }
    bool empty() const noexcept { return size_ == 0; }

private:
    static constexpr std::size_t kLocal = 64;
    Dying* local() noexcept { return reinterpret_cast<Dying*>(local_); }
    bool grow() noexcept {
        const std::size_t capacity = capacity_ * 2;
        auto* grown = static_cast<Dying*>(std::malloc(capacity * sizeof(Dying)));
        if (!grown) return false;
        std::memcpy(static_cast<void*>(grown), data_, size_ * sizeof(Dying));
        if (data_ != local()) std::free(data_);
        data_ = grown;
        capacity_ = capacity;
        return true;
    }

    alignas(Dying) unsigned char local_[kLocal * sizeof(Dying)];
    Dying* data_ = local();
    std::size_t size_ = 0;
    std::size_t capacity_ = kLocal;
};
static_assert(std::is_trivially_copyable_v<Dying>);

void release_tree(Node* root) noexcept {
    PyTypeObject* type = Py_TYPE(as_object(root));
    DyingStack stack;
    SlabReleaser releases;
    std::size_t freed = 0;
    auto die = [&](Node* n) -> bool {
        ChildCursor children(n);
        Node* own = n->is_own() ? n : nullptr;
        if (!own) {
            free_node_storage(n, releases);
            ++freed;
        }
        return stack.push(Dying{children, own});
    };
    if (!die(root)) {
        // No room to defer anything: release the children one level deeper.
        ChildCursor children(root);
        while (Node* child = children.next()) Py_DECREF(as_object(child));
        if (root->is_own()) free_node_storage(root, releases), ++freed;
    }
    while (!stack.empty()) {
        Node* child = stack.back().children.next();
        if (!child) {
            Node* own = stack.back().own;
            stack.pop();
            if (own) {
                free_node_storage(own, releases);
                ++freed;
            }
            continue;
        }
        PyObject* c = as_object(child);
        if (Py_REFCNT(c) != 1) {
            Py_DECREF(c);  // still held elsewhere: it only loses the parent's reference
        } else if (!die(child)) {
            Py_DECREF(c);  // no room to defer it: released here, one level deeper
        }
    }
    releases.flush();
    // The nodes' references to their type, given back at once as the reader
    // took them; the last through Py_DECREF, which frees a type no longer held.
    if (freed) {
        PyObject* t = reinterpret_cast<PyObject*>(type);
        Py_SET_REFCNT(t, Py_REFCNT(t) - static_cast<Py_ssize_t>(freed - 1));
        Py_DECREF(t);
    }
}

void node_dealloc(PyObject* self) { release_tree(as_node(self)); }

void node_free(void* self) { free_node_storage(static_cast<Node*>(self)); }

// ---------------------------------------------------------------- construction

constexpr Params kNewParams{"Node", "__new__", {"name", "attrs", "children", "text"}, 4, 1};

// Owned references keep the texts of keys and values alive until the node
// has copied them.
struct ConvertedAttrs {
    std::vector<object> owners;
    std::vector<Attr> attrs;
};

Status convert_attrs(handle obj, ConvertedAttrs& out) {
    if (!obj) return ok();
    if (!PyDict_Check(obj.ptr())) return type_error(obj, "dict");
    const Py_ssize_t size = PyDict_Size(obj.ptr());
    out.owners.reserve(2 * static_cast<std::size_t>(size));
    out.attrs.reserve(static_cast<std::size_t>(size));
    Py_ssize_t pos = 0, seen = 0;
    PyObject *key, *value;
    for (;;) {
        if (PyDict_Size(obj.ptr()) != size) fatal("dictionary changed size during iteration");
        if (seen > size) fatal("dictionary keys changed during iteration");
        if (!PyDict_Next(obj.ptr(), &pos, &key, &value)) break;
        ++seen;
        object k = borrow(key), v = borrow(value);
        ARBOLITE_TRY(key_text, utf8_view(k));
        ARBOLITE_TRY(value_text, utf8_view(v));
        out.owners.push_back(std::move(k));
        out.owners.push_back(std::move(v));
        out.attrs.push_back(Attr{key_text, value_text});
    }
    merge_duplicate_keys(out.attrs);
    return ok();
}

Status convert_children(handle obj, std::vector<object>& children) {
    if (!obj) return ok();
    if (PyUnicode_Check(obj.ptr())) return Error::deferred(PyExc_TypeError, "Can't extract `str` to `Vec`");
    if (!PySequence_Check(obj.ptr())) return type_error(obj, "Sequence");
    const Py_ssize_t hint = PyObject_Size(obj.ptr());
    if (hint < 0) {
        PyErr_Clear();
    } else if (PyList_CheckExact(obj.ptr()) || PyTuple_CheckExact(obj.ptr())) {
        children.reserve(static_cast<std::size_t>(hint));
    } else {
        // Any other sequence's length is only its own claim; don't let it size memory.
        children.reserve(static_cast<std::size_t>(std::min<Py_ssize_t>(hint, 1024)));
    }
    object iter = steal(PyObject_GetIter(obj.ptr()));
    if (!iter) return Error::fetch();
    for (;;) {
        object item = steal(PyIter_Next(iter.ptr()));
        if (!item) {
            if (PyErr_Occurred()) return Error::fetch();
            break;
        }
        if (!is_node(item)) return type_error(item, "Node");
        children.push_back(std::move(item));
    }
    return ok();
}

template <class T>
Result<T> as_argument(const char* name, Result<T> r) {
    if (r) return r;
    return argument_error(name, std::move(r).error());
}

Status as_argument(const char* name, Status s) {
    if (s) return s;
    return argument_error(name, std::move(s).error());
}

PyObject* node_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> Result<object> {
        ARBOLITE_TRY(slots, extract_arguments_tuple(kNewParams, args, kwargs));
        ARBOLITE_TRY(name, as_argument("name", utf8_view(slots[0])));
        ConvertedAttrs attrs;
        ARBOLITE_CHECK(as_argument("attrs", convert_attrs(given(slots[1]), attrs)));
        std::vector<object> children;
        ARBOLITE_CHECK(as_argument("children", convert_children(given(slots[2]), children)));
        std::optional<std::string_view> text;
        if (PyObject* t = given(slots[3])) {
            ARBOLITE_TRY(view, as_argument("text", utf8_view(t)));
            text = view;
        }
        std::vector<Node*> pointers;
        pointers.reserve(children.size());
        for (const object& c : children) pointers.push_back(as_node(c.ptr()));
        Node* node = make_own_node(type, name, attrs.attrs, pointers.data(), pointers.size(), text);
        // The node holds the references the children list took; the type
        // holds one for the node.
        for (object& c : children) c.release();
        Py_INCREF(type);
        return steal(as_object(node));
    });
}

// ---------------------------------------------------------------- properties

template <class Body>
PyObject* read_property(PyObject* self, Body&& body) {
    return guarded([&]() -> Result<object> {
        ARBOLITE_TRY(node, node_receiver(self));
        return body(node, Py_TYPE(self));
    });
}

PyObject* get_name(PyObject* self, void*) {
    return read_property(self, [](Node* n, PyTypeObject* type) -> Result<object> {
        return type_state(type).names.get(node_name(n));
    });
}

PyObject* get_attrs(PyObject* self, void*) {
    return read_property(self, [](Node* n, PyTypeObject* type) -> Result<object> {
        NameCache& names = type_state(type).names;
        object dict = steal(check_created(PyDict_New()));
        for (const Attr a : node_attrs(n)) {
            object k = names.get(a.key), v = stored_str(a.value);
            if (PyDict_SetItem(dict.ptr(), k.ptr(), v.ptr()) < 0) return Error::fetch();
        }
        return dict;
    });
}

PyObject* get_children(PyObject* self, void*) {
    return read_property(self, [](Node* n, PyTypeObject*) -> Result<object> {
        object list = steal(check_created(PyList_New(static_cast<Py_ssize_t>(n->child_count))));
        ChildCursor children(n);
        Py_ssize_t i = 0;
        while (Node* child = children.next()) {
            PyList_SET_ITEM(list.ptr(), i++, borrow(as_object(child)).release());
        }
        return list;
    });
}

PyObject* get_text(PyObject* self, void*) {
    return read_property(self, [](Node* n, PyTypeObject*) -> Result<object> {
        const auto text = node_text(n);
        if (!text) return borrow(Py_None);
        return stored_str(*text);
    });
}

PyObject* node_repr(PyObject* self) {
    return read_property(self, [](Node* n, PyTypeObject*) -> Result<object> {
        const std::string_view name = node_name(n);
        std::string out;
        out.reserve(name.size() + 6);
        out += "Node(";
        out += name;
        out += ')';
        return new_str(out);
    });
}

// The four properties are read once per node by every walk over a tree. The
// generic attribute lookup searches the type's dictionaries on each read;
// comparing the name with the four names first skips that.
PyObject* node_getattro(PyObject* self, PyObject* name) {
    if (PyUnicode_CheckExact(name) && PyUnicode_IS_COMPACT_ASCII(name)) {
        const char* s = static_cast<const char*>(PyUnicode_DATA(name));
        switch (PyUnicode_GET_LENGTH(name)) {
            case 4:
                if (std::memcmp(s, "name", 4) == 0) return get_name(self, nullptr);
                if (std::memcmp(s, "text", 4) == 0) return get_text(self, nullptr);
                break;
            case 5:
                if (std::memcmp(s, "attrs", 5) == 0) return get_attrs(self, nullptr);
                break;
            case 8:
                if (std::memcmp(s, "children", 8) == 0) return get_children(self, nullptr);
                break;
        }
    }
    return PyObject_GenericGetAttr(self, name);
}

PyGetSetDef kGetters[] = {
    {"name", get_name, nullptr, "The element name (str).", nullptr},
    {"attrs", get_attrs, nullptr,
     "The attributes: a new dict of str to str on every access, in the node's\n"
     "order (document order for parsed nodes). Changing it changes nothing in\n"
     "the node.",
     nullptr},
    {"text", get_text, nullptr,
     "The element's text (str), or None when it has none. An empty text \"\" is\n"
     "not None; the reader gives None for an element whose text is only white\n"
     "space, and trims the white space around any other.",
     nullptr},
    {"children", get_children, nullptr, "Children are shared references to the same nodes, not copies.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#define ARBOLITE_FASTCALL(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f))

PyMethodDef kMethods[] = {
    {"__to_string", ARBOLITE_FASTCALL(node_to_string), METH_FASTCALL | METH_KEYWORDS,
     "__to_string($self, spacing=None)\n--\n\n"
     "Return the outline of this node and its subtree, as str(node) does.\n\n"
     "spacing (an int from 0 to 255, default 0) indents the outline; each level\n"
     "adds 2. Names, attributes and text appear exactly as stored, unescaped."},
    {"search_by_name", ARBOLITE_FASTCALL(node_search_by_name), METH_FASTCALL | METH_KEYWORDS,
     "search_by_name($self, name, depth=None)\n--\n\n"
     "Return the nodes of this subtree whose name equals name.\n\n"
     "The nodes are the tree's own, in document (pre-)order, this node first\n"
     "when it matches. depth limits the search to that many levels below this\n"
     "node (0: this node only); None or a negative number means no limit. A\n"
     "node that occurs in several places is listed once per place."},
    {"search_by_attr", ARBOLITE_FASTCALL(node_search_by_attr), METH_FASTCALL | METH_KEYWORDS,
     "search_by_attr($self, key, depth=None)\n--\n\n"
     "Return the nodes of this subtree that have an attribute named key, with\n"
     "any value (an empty one too); depth as in search_by_name."},
    {"search_by_text", ARBOLITE_FASTCALL(node_search_by_text), METH_FASTCALL | METH_KEYWORDS,
     "search_by_text($self, text, depth=None)\n--\n\n"
     "Return the nodes of this subtree whose text equals text exactly (case\n"
     "and all); nodes without text never match. depth as in search_by_name."},
    {"search", ARBOLITE_FASTCALL(node_search), METH_FASTCALL | METH_KEYWORDS,
     "search($self, by, value, depth=None)\n--\n\n"
     "Return the nodes of this subtree that match value by the rule by:\n"
     "SearchType.Tag compares names, SearchType.Attr looks for an attribute\n"
     "key, SearchType.Text compares texts (as the search_by_* methods do);\n"
     "depth as in search_by_name."},
    {"find", ARBOLITE_FASTCALL(node_find), METH_FASTCALL | METH_KEYWORDS,
     "find($self, path, namespaces=None)\n--\n\n"
     "Return the first node that path selects, in document order, or None.\n"
     "The path is that of findall."},
    {"findall", ARBOLITE_FASTCALL(node_findall), METH_FASTCALL | METH_KEYWORDS,
     "findall($self, path, namespaces=None)\n--\n\n"
     "Return the nodes that path selects from this node, in document order.\n\n"
     "ElementTree's path language: steps tag, *, ., //tag, //*, .. and the\n"
     "predicates [@key], [@key='v'], [@key!='v'], [tag], [tag='t'],\n"
     "[tag!='t'], [.='t'], [.!='t'], [n], [last()], [last()-n]; p:* is any\n"
     "name with the prefix p. Names are compared as written, prefixes\n"
     "included; texts compare the node's text (trimmed; no text compares as\n"
     "''); [n] counts the siblings of the node's name. A node that occurs in\n"
     "several places is listed once per place. A malformed path raises\n"
     "SyntaxError. namespaces (a dict of prefix to URI) is accepted only where\n"
     "the tree searched declares each prefix the path uses with that URI, and\n"
     "is otherwise refused with ValueError: names are never matched by URI."},
    {"findtext", ARBOLITE_FASTCALL(node_findtext), METH_FASTCALL | METH_KEYWORDS,
     "findtext($self, path, default=None, namespaces=None)\n--\n\n"
     "Return the text of the first node that path selects ('' when it has\n"
     "none), or default when path selects nothing. The path is that of\n"
     "findall."},
    {"iterfind", ARBOLITE_FASTCALL(node_iterfind), METH_FASTCALL | METH_KEYWORDS,
     "iterfind($self, path, namespaces=None)\n--\n\n"
     "Return an iterator over the nodes that findall returns for path (they\n"
     "are all found when it is called)."},
    {"from_dict", ARBOLITE_FASTCALL(node_from_dict), METH_FASTCALL | METH_KEYWORDS | METH_CLASS,
     "from_dict($cls, dict_)\n--\n\n"
     "Build a new tree from the dict form that to_dict gives:\n"
     "{'name': str, 'attrs': {str: str}, 'children': [dict, ...], 'text': str | None}.\n\n"
     "'children' may be any sequence of such dicts; 'text' may be left out;\n"
     "other keys are ignored. Raises ValueError ('Invalid name', 'Invalid\n"
     "attrs', 'Invalid children') for a missing or mistyped key, and TypeError\n"
     "for a value that is no str, None, dict of str or sequence of dicts."},
    {"to_dict", ARBOLITE_FASTCALL(node_to_dict), METH_NOARGS,
     "to_dict($self)\n--\n\n"
     "Return this node and its subtree as nested dicts with the four keys\n"
     "'name', 'attrs', 'children' (a list of such dicts) and 'text' (None\n"
     "when absent). A node that occurs in several places is converted once per\n"
     "place."},
    {"__reduce__", ARBOLITE_FASTCALL(node_reduce), METH_NOARGS,
     "__reduce__($self)\n--\n\n"
     "Support for pickle: the whole tree as one compact bytes object, from\n"
     "which arbolite._restore_node rebuilds an equal tree. Nodes shared inside\n"
     "the tree stay shared; depth costs no recursion."},
    {"__copy__", ARBOLITE_FASTCALL(node_copy), METH_NOARGS,
     "__copy__($self)\n--\n\n"
     "Return the node itself: it cannot change."},
    {"__deepcopy__", ARBOLITE_FASTCALL(node_deepcopy), METH_O,
     "__deepcopy__($self, memo, /)\n--\n\n"
     "Return the node itself: neither it nor any node below it can change."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>(
        "Node(name, attrs=None, children=None, text=None)\n--\n\n"
        "One XML element; immutable once made.\n\n"
        "name is the element name; attrs a dict of str to str, kept in the order\n"
        "given; children a sequence of Node (a list or tuple), stored as shared\n"
        "references, never copied, so one node may sit under several parents;\n"
        "text a str, or None for no text. No XML rules are checked: any str is\n"
        "accepted. Nodes compare and hash by identity; they pickle, and copying\n"
        "one (shallow or deep) gives the node itself.")},
    {Py_tp_dealloc, reinterpret_cast<void*>(node_dealloc)},
    {Py_tp_free, reinterpret_cast<void*>(node_free)},
    {Py_tp_new, reinterpret_cast<void*>(node_new)},
    {Py_tp_str, reinterpret_cast<void*>(node_str)},
    {Py_tp_repr, reinterpret_cast<void*>(node_repr)},
    {Py_tp_getattro, reinterpret_cast<void*>(node_getattro)},
    {Py_tp_getset, kGetters},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec{"arbolite.Node", static_cast<int>(sizeof(Node)), 0, Py_TPFLAGS_DEFAULT, kSlots};

}  // namespace

PyTypeObject* create_node_type(PyObject* module) {
    return reinterpret_cast<PyTypeObject*>(PyType_FromModuleAndSpec(module, &kSpec, nullptr));
}

// By the release function rather than the class: a node made through another
// module object (a re-import) is as much a node.
bool is_node(handle obj) { return Py_TYPE(obj.ptr())->tp_dealloc == node_dealloc; }

Result<Node*> node_receiver(handle self) {
    if (!self || !is_node(self)) return type_error(self, "Node");
    return as_node(self.ptr());
}

void adopt_nodes(PyTypeObject* type, std::uint64_t count) noexcept {
    PyObject* t = reinterpret_cast<PyObject*>(type);
    Py_SET_REFCNT(t, Py_REFCNT(t) + static_cast<Py_ssize_t>(count));
}

}  // namespace arbolite
