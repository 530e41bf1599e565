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
// The module's _restore_node: one function object for the whole process.
PyObject* restore_function();

// The Sequence class of collections.abc, named in conversion messages.
PyObject* sequence_abc();

}  // namespace arbolite
