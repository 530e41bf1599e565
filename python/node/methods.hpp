// The Python entry points of Node, implemented across python/node;
// node_type.cpp assembles them into the type.
#pragma once
#include <Python.h>

namespace arbolite {

// Outline rendering.
PyObject* node_str(PyObject* self);
PyObject* node_to_string(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Search.
PyObject* node_search(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* node_search_by_name(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* node_search_by_attr(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* node_search_by_text(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Path queries.
PyObject* node_find(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* node_findall(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* node_findtext(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* node_iterfind(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Dictionary conversion.
PyObject* node_to_dict(PyObject* self, PyObject* unused);
PyObject* node_from_dict(PyObject* cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Pickling and copying.
PyObject* node_reduce(PyObject* self, PyObject* unused);
PyObject* node_copy(PyObject* self, PyObject* unused);
PyObject* node_deepcopy(PyObject* self, PyObject* memo);
// arbolite._restore_node for one module object; null with an exception set.
PyObject* new_restore_function(PyObject* module);

}  // namespace arbolite
