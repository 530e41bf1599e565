// The module-level functions, registered by the execution function in the
// order of this table.
#pragma once
#include <Python.h>

namespace arbolite {

PyObject* read_file(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* read_string(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* read_dict(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* write_file(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* write_string(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

PyObject* iter_file(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* iter_string(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

PyObject* parse_dict(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* unparse_dict(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Null-terminated, in the order they are registered: the reading and writing
// functions, after ParseError the streaming ones, then the dictionary readers.
PyMethodDef* module_functions();
PyMethodDef* stream_functions();
PyMethodDef* dict_functions();

// The iterator class of the streaming functions, for one module object.
PyTypeObject* create_stream_type(PyObject* module);

}  // namespace arbolite
