// Matching call arguments to parameters, with the module's fixed messages.
#pragma once
#include <Python.h>

#include <array>
#include <string>

#include "python/boundary/error.hpp"

namespace arbolite {

// Every parameter may be given by keyword, and all but the last
// `keyword_only` by position too; the first `required` ones must be given.
// No function takes more than eight.
struct Params {
    const char* class_name;  // "Node" for the constructor and methods, null for functions
    const char* function;
    std::array<const char*, 8> names;
    int count;
    int required;
    int keyword_only = 0;

    int positional() const { return count - keyword_only; }
    // "{}.{}()" or "{}()".
    std::string full_name() const;
};

// One borrowed reference per parameter, null where nothing was given.
using Slots = std::array<PyObject*, 8>;

// The vectorcall form: positional values, then the values of `kwnames`.
Result<Slots> extract_arguments(const Params& params, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// The tuple-and-dict form (the constructor).
Result<Slots> extract_arguments_tuple(const Params& params, PyObject* args, PyObject* kwargs);

// Treats an explicit None like an omitted optional argument.
inline PyObject* given(PyObject* slot) { return slot == Py_None ? nullptr : slot; }

}  // namespace arbolite
