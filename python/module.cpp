// Module entry: multi-phase initialisation. PyInit_arbolite only hands over
// the definition; the execution function registers the classes and functions.
#include <Python.h>

#include "python/boundary/call.hpp"
#include "python/boundary/error.hpp"
#include "python/functions.hpp"
#include "python/node/node_object.hpp"
#include "python/node/search_type.hpp"

namespace arbolite {
namespace {

Status module_add(handle module, handle name, handle value) {
    object all = steal(PyObject_GetAttrString(module.ptr(), "__all__"));
    if (!all) {
        Error missing = Error::fetch();
        object exc = std::move(missing).materialize();
        if (!PyErr_GivenExceptionMatches(exc.ptr(), PyExc_AttributeError)) return Error::from_exception(exc);
        all = steal(check_created(PyList_New(0)));
        if (PyObject_SetAttrString(module.ptr(), "__all__", all.ptr()) < 0) return Error::fetch();
    } else if (!PyList_Check(all.ptr())) {
        return type_error(all, "list");
    }
    if (PyList_Append(all.ptr(), name.ptr()) < 0) {
        PyErr_Clear();
        fatal("could not append __name__ to __all__");
    }
    if (PyObject_SetAttr(module.ptr(), name.ptr(), value.ptr()) < 0) return Error::fetch();
    return ok();
}

Status add_type(handle module, const char* name, PyTypeObject* type) {
    object key = steal(check_created(PyUnicode_FromString(name)));
    return module_add(module, key, reinterpret_cast<PyObject*>(type));
}

Status add_function(handle module, PyMethodDef* def) {
    PyObject* dict = PyModule_GetDict(module.ptr());
    object key = steal(check_created(PyUnicode_FromString("__name__")));
    object module_name = steal(PyObject_GetItem(dict, key.ptr()));
    if (!module_name) return Error::fetch();
    if (!PyUnicode_Check(module_name.ptr())) return type_error(module_name, "str");
    object function = steal(PyCMethod_New(def, module.ptr(), module_name.ptr(), nullptr));
    if (!function) return Error::fetch();
    object name = steal(PyObject_GetAttrString(function.ptr(), "__name__"));
    if (!name) return Error::fetch();
    return module_add(module, name, function);
}

int module_exec(PyObject* module) {
    return guarded_status([&]() -> Status {
        if (!module) return Error::fetch();
        if (!PyModule_Check(module)) return type_error(module, "module");
        ARBOLITE_CHECK(add_type(module, "SearchType", search_type_type()));
        ARBOLITE_CHECK(add_type(module, "Node", node_type()));
        for (PyMethodDef* def = module_functions(); def->ml_name; ++def) {
            ARBOLITE_CHECK(add_function(module, def));
        }
        PyObject* parse_error = parse_error_type();
        if (!parse_error) return Error::fetch();
        object key = steal(check_created(PyUnicode_FromString("ParseError")));
        ARBOLITE_CHECK(module_add(module, key, parse_error));
        for (PyMethodDef* def = stream_functions(); def->ml_name; ++def) {
            ARBOLITE_CHECK(add_function(module, def));
        }
        return ok();
    });
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    {0, nullptr},
};

PyModuleDef kDefinition = {
    PyModuleDef_HEAD_INIT,
    "arbolite",
    "",  // an empty, not a missing, docstring
    0,   // no per-module state
    nullptr, kSlots, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace arbolite

PyMODINIT_FUNC PyInit_arbolite(void) { return PyModuleDef_Init(&arbolite::kDefinition); }
