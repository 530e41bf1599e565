#include "python/node/search_type.hpp"

#include <cstdint>

#include "python/boundary/call.hpp"
#include "python/boundary/convert.hpp"

namespace arbolite {
namespace {

struct SearchTypeObject {
    PyObject_HEAD
    unsigned char value;  // 0, 1 or 2; set once when the member is made
};

const char* const kMemberNames[] = {"Tag", "Attr", "Text"};

PyObject* search_type_repr(PyObject* self) {
    return guarded([&]() -> Result<object> {
        ARBOLITE_TRY(rule, search_type_value(self));
        return new_str(std::string("SearchType.") + kMemberNames[static_cast<int>(rule)]);
    });
}

PyObject* search_type_int(PyObject* self) {
    return guarded([&]() -> Result<object> {
        ARBOLITE_TRY(rule, search_type_value(self));
        return steal(check_created(PyLong_FromLong(static_cast<long>(rule))));
    });
}

PyObject* search_type_richcompare(PyObject* self, PyObject* other, int op) {
    return guarded([&]() -> Result<object> {
        if (op != Py_EQ && op != Py_NE) return borrow(Py_NotImplemented);
        ARBOLITE_TRY(mine, search_type_value(self));
        long theirs;
        if (is_search_type(other)) {
            ARBOLITE_TRY(rule, search_type_value(other));
            theirs = static_cast<long>(rule);
        } else {
            theirs = PyLong_AsLong(other);
            if (theirs == -1 && PyErr_Occurred()) {
                PyErr_Clear();
                return borrow(Py_NotImplemented);
            }
        }
        const bool equal = theirs == static_cast<long>(mine);
        return borrow((op == Py_EQ) == equal ? Py_True : Py_False);
    });
}

// A member pickles (and copies) as the class attribute it is.
PyObject* search_type_reduce(PyObject* self, PyObject*) {
    return guarded([&]() -> Result<object> {
        ARBOLITE_TRY(rule, search_type_value(self));
        return new_str(std::string("SearchType.") + kMemberNames[static_cast<int>(rule)]);
    });
}

PyMethodDef kMethods[] = {
    {"__reduce__", search_type_reduce, METH_NOARGS,
     "__reduce__($self)\n--\n\n"
     "Support for pickle and copy: a member stands for itself."},
    {nullptr, nullptr, 0, nullptr},
};

void search_type_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>(
        "The match rule of Node.search, one of three members:\n\n"
        "SearchType.Tag   the node's name equals the value\n"
        "SearchType.Attr  the node has an attribute named the value\n"
        "SearchType.Text  the node's text equals the value\n\n"
        "The members are the only instances (the class cannot be called) and\n"
        "compare equal to the ints 0, 1 and 2; int(member) gives that number.\n"
        "They are not hashable.")},
    {Py_tp_methods, kMethods},
    {Py_tp_dealloc, reinterpret_cast<void*>(search_type_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(search_type_repr)},
    {Py_nb_int, reinterpret_cast<void*>(search_type_int)},
    {Py_tp_richcompare, reinterpret_cast<void*>(search_type_richcompare)},
    {0, nullptr},
};

PyType_Spec kSpec{"arbolite.SearchType", static_cast<int>(sizeof(SearchTypeObject)), 0,
                  Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION, kSlots};

}  // namespace

// The class with its three members, for one module object.
PyTypeObject* create_search_type(PyObject* module) {
    object type = steal(PyType_FromModuleAndSpec(module, &kSpec, nullptr));
    if (!type) return nullptr;
    auto* t = reinterpret_cast<PyTypeObject*>(type.ptr());
    for (int i = 0; i < 3; ++i) {
        object member = steal(t->tp_alloc(t, 0));
        if (!member) return nullptr;
        reinterpret_cast<SearchTypeObject*>(member.ptr())->value = static_cast<unsigned char>(i);
        if (PyObject_SetAttrString(type.ptr(), kMemberNames[i], member.ptr()) < 0) return nullptr;
    }
    PyType_Modified(t);
    return reinterpret_cast<PyTypeObject*>(type.release());
}

// By the release function: a member from another module object (a re-import)
// is as much a member.
bool is_search_type(handle obj) { return Py_TYPE(obj.ptr())->tp_dealloc == search_type_dealloc; }

Result<SearchRule> search_type_value(handle obj) {
    if (!is_search_type(obj)) return type_error(obj, "SearchType");
    auto* m = reinterpret_cast<SearchTypeObject*>(obj.ptr());
    return static_cast<SearchRule>(m->value);
}

}  // namespace arbolite
