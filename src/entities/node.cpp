// Node payload handling: creation, release, shared reads and the constructor.
#include "src/entities/node.hpp"

#include <algorithm>
#include <atomic>
#include <new>

#include "boundary/args.hpp"
#include "boundary/call.hpp"
#include "boundary/convert.hpp"
#include "src/entities/methods.hpp"

namespace arbolite {
namespace {

// Releasing the root of a long chain would recurse once per level through
// tp_dealloc. Instead, a child whose last reference is being dropped is parked
// here and released by the outermost release on this thread, one at a time.
thread_local std::vector<PyObject*> t_dying;
thread_local bool t_draining = false;

void release_child(PyObject* child) noexcept {
    if (Py_REFCNT(child) == 1 && Py_IS_TYPE(child, node_type())) {
        try {
            t_dying.push_back(child);
            return;
        } catch (...) {
            // No room to park it: release it here, recursing one level.
        }
    }
    Py_DECREF(child);
}

void drain_dying() noexcept {
    if (t_draining) return;
    t_draining = true;
    while (!t_dying.empty()) {
        PyObject* child = t_dying.back();
        t_dying.pop_back();
        Py_DECREF(child);  // its own children are parked, not released recursively
    }
    t_draining = false;
}

}  // namespace

void ChildList::clear() noexcept {
    std::vector<PyObject*> items = std::move(items_);
    for (PyObject* child : items) release_child(child);
    drain_dying();
}

bool is_node(handle obj) {
    PyTypeObject* type = Py_TYPE(obj.ptr());
    return type == node_type() || PyType_IsSubtype(type, node_type());
}

Result<NodeObject*> node_receiver(handle self) {
    if (!self || !is_node(self)) return type_error(self, "Node");
    return as_node(self.ptr());
}

Result<object> new_node_object(NodeData&& data) {
    PyTypeObject* type = node_type();
    PyObject* raw = type->tp_alloc(type, 0);
    if (!raw) return Error::fetch();  // `data` is released by its owner
    NodeObject* node = as_node(raw);
    new (&node->data) NodeData(std::move(data));
    new (&node->readers) std::atomic<std::int64_t>(0);
    return steal(raw);
}

Result<SharedRead> SharedRead::enter(NodeObject* node) {
    std::int64_t seen = node->readers.load(std::memory_order_acquire);
    for (;;) {
        if (seen == -1) return Error::deferred(PyExc_RuntimeError, "Already mutably borrowed");
        if (node->readers.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire)) {
            return SharedRead(node);
        }
    }
}

void node_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    NodeObject* node = as_node(self);
    node->data.~NodeData();
    node->readers.~atomic();
    type->tp_free(self);
    Py_DECREF(type);
}

namespace {

constexpr Params kNewParams{"Node", "__new__", {"name", "attrs", "children", "text"}, 4, 1};

Result<StringMap> convert_attrs(handle obj) {
    StringMap map;
    if (!obj) return map;
    if (!PyDict_Check(obj.ptr())) return type_error(obj, "dict");
    const Py_ssize_t size = PyDict_Size(obj.ptr());
    map.reserve(static_cast<size_t>(size));
    Py_ssize_t pos = 0, seen = 0;
    PyObject *key, *value;
    for (;;) {
        if (PyDict_Size(obj.ptr()) != size) fatal("dictionary changed size during iteration");
        if (seen > size) fatal("dictionary keys changed during iteration");
        if (!PyDict_Next(obj.ptr(), &pos, &key, &value)) break;
        ++seen;
        // Borrowed entries may be dropped by code that a conversion runs.
        object k = borrow(key), v = borrow(value);
        ARBOLITE_TRY(key_text, utf8_view(k));
        ARBOLITE_TRY(value_text, utf8_view(v));
        map.set(key_text, value_text);
    }
    return map;
}

Result<ChildList> convert_children(handle obj) {
    ChildList children;
    if (!obj) return children;
    if (PyUnicode_Check(obj.ptr())) return Error::deferred(PyExc_TypeError, "Can't extract `str` to `Vec`");
    if (!PySequence_Check(obj.ptr())) return type_error(obj, "Sequence");
    const Py_ssize_t hint = PyObject_Size(obj.ptr());
    if (hint < 0) {
        PyErr_Clear();
    } else if (PyList_CheckExact(obj.ptr()) || PyTuple_CheckExact(obj.ptr())) {
        children.reserve(static_cast<size_t>(hint));
    } else {
        // Any other sequence's length is only its own claim; don't let it size memory.
        children.reserve(static_cast<size_t>(std::min<Py_ssize_t>(hint, 1024)));
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
        children.push_steal(item.release());
    }
    return children;
}

template <class T>
Result<T> as_argument(const char* name, Result<T> r) {
    if (r) return r;
    return argument_error(name, std::move(r).error());
}

PyObject* node_new(PyTypeObject*, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> Result<object> {
        ARBOLITE_TRY(slots, extract_arguments_tuple(kNewParams, args, kwargs));
        NodeData data;
        ARBOLITE_TRY(name, as_argument("name", utf8_copy(slots[0])));
        data.name = std::move(name);
        ARBOLITE_TRY(attrs, as_argument("attrs", convert_attrs(given(slots[1]))));
        data.attrs = std::move(attrs);
        ARBOLITE_TRY(children, as_argument("children", convert_children(given(slots[2]))));
        data.children = std::move(children);
        if (PyObject* text = given(slots[3])) {
            ARBOLITE_TRY(t, as_argument("text", utf8_copy(text)));
            data.text = std::move(t);
        }
        return new_node_object(std::move(data));
    });
}

// Runs `body` on the payload under a shared read.
template <class Body>
PyObject* read_property(PyObject* self, Body&& body) {
    return guarded([&]() -> Result<object> {
        ARBOLITE_TRY(node, node_receiver(self));
        ARBOLITE_TRY(read, SharedRead::enter(node));
        return body(read.data());
    });
}

PyObject* get_name(PyObject* self, void*) {
    return read_property(self, [](const NodeData& d) -> Result<object> { return new_str(d.name); });
}

PyObject* get_attrs(PyObject* self, void*) {
    return read_property(self, [](const NodeData& d) -> Result<object> {
        object dict = steal(check_created(PyDict_New()));
        for (auto entry : d.attrs) {
            object k = new_str(entry.key), v = new_str(entry.value);
            if (PyDict_SetItem(dict.ptr(), k.ptr(), v.ptr()) < 0) return Error::fetch();
        }
        return dict;
    });
}

PyObject* get_children(PyObject* self, void*) {
    return read_property(self, [](const NodeData& d) -> Result<object> {
        object list = steal(check_created(PyList_New(static_cast<Py_ssize_t>(d.children.size()))));
        for (size_t i = 0; i < d.children.size(); ++i) {
            PyList_SET_ITEM(list.ptr(), static_cast<Py_ssize_t>(i), borrow(d.children[i]).release());
        }
        return list;
    });
}

PyObject* get_text(PyObject* self, void*) {
    return read_property(self, [](const NodeData& d) -> Result<object> {
        if (!d.text) return borrow(Py_None);
        return new_str(*d.text);
    });
}

PyObject* node_repr(PyObject* self) {
    return read_property(self, [](const NodeData& d) -> Result<object> {
        std::string out;
        out.reserve(d.name.size() + 6);
        out += "Node(";
        out += d.name;
        out += ')';
        return new_str(out);
    });
}

PyGetSetDef kGetters[] = {
    {"name", get_name, nullptr, nullptr, nullptr},
    {"attrs", get_attrs, nullptr, nullptr, nullptr},
    {"text", get_text, nullptr, nullptr, nullptr},
    {"children", get_children, nullptr, "Children are shared references to the same nodes, not copies.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

#define ARBOLITE_FASTCALL(f) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f))

PyMethodDef kMethods[] = {
    {"__to_string", ARBOLITE_FASTCALL(node_to_string), METH_FASTCALL | METH_KEYWORDS,
     "__to_string($self, spacing=None)\n--\n\n"},
    {"search_by_name", ARBOLITE_FASTCALL(node_search_by_name), METH_FASTCALL | METH_KEYWORDS,
     "search_by_name($self, name, depth=None)\n--\n\n"},
    {"search_by_attr", ARBOLITE_FASTCALL(node_search_by_attr), METH_FASTCALL | METH_KEYWORDS,
     "search_by_attr($self, key, depth=None)\n--\n\n"},
    {"search_by_text", ARBOLITE_FASTCALL(node_search_by_text), METH_FASTCALL | METH_KEYWORDS,
     "search_by_text($self, text, depth=None)\n--\n\n"},
    {"search", ARBOLITE_FASTCALL(node_search), METH_FASTCALL | METH_KEYWORDS,
     "search($self, by, value, depth=None)\n--\n\n"},
    {"from_dict", ARBOLITE_FASTCALL(node_from_dict), METH_FASTCALL | METH_KEYWORDS | METH_CLASS, "from_dict($cls, dict_)\n--\n\n"},
    {"to_dict", ARBOLITE_FASTCALL(node_to_dict), METH_NOARGS, "to_dict($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>("Node(name, attrs=None, children=None, text=None)\n--\n\n")},
    {Py_tp_dealloc, reinterpret_cast<void*>(node_dealloc)},
    {Py_tp_new, reinterpret_cast<void*>(node_new)},
    {Py_tp_str, reinterpret_cast<void*>(node_str)},
    {Py_tp_repr, reinterpret_cast<void*>(node_repr)},
    {Py_tp_getset, kGetters},
    {Py_tp_methods, kMethods},
    {0, nullptr},
};

PyType_Spec kSpec{"builtins.Node", static_cast<int>(sizeof(NodeObject)), 0, Py_TPFLAGS_DEFAULT, kSlots};

std::atomic<PyTypeObject*> g_node_type{nullptr};

}  // namespace

PyTypeObject* node_type() {
    PyTypeObject* type = g_node_type.load(std::memory_order_acquire);
    if (type) return type;
    PyObject* created = PyType_FromSpec(&kSpec);
    if (!created) {
        PyErr_WriteUnraisable(nullptr);
        fatal("failed to create type object for `Node`");
    }
    // Another thread may have won while creation ran; keep the first type.
    PyTypeObject* expected = nullptr;
    if (!g_node_type.compare_exchange_strong(expected, reinterpret_cast<PyTypeObject*>(created))) {
        Py_DECREF(created);
        return expected;
    }
    return reinterpret_cast<PyTypeObject*>(created);
}

}  // namespace arbolite
