// What the module keeps, one copy per module object and so per interpreter:
// its classes, its exceptions and its cache of names. A module function
// reaches it from the module it is called on, a method from its class
// (which knows its module), and everything below takes it from them.
#pragma once
#include <Python.h>

#include "python/boundary/error.hpp"
#include "python/boundary/strings.hpp"

namespace arbolite {

struct ModuleState {
    PyTypeObject* node_type;
    PyTypeObject* search_type;
    PyTypeObject* stream_type;
    PyObject* parse_error;
    PyObject* internal_error;
    NameCache names;
    NameCache values;  // short attribute values and texts, for the dict forms
};

inline ModuleState& module_state(PyObject* module) noexcept {
    return *static_cast<ModuleState*>(PyModule_GetState(module));
}

// Of a class the module made (Node, SearchType, the stream).
inline ModuleState& type_state(PyTypeObject* type) noexcept {
    return *static_cast<ModuleState*>(PyType_GetModuleState(type));
}

// A module function's state, refused once the interpreter has begun to tear
// the module down (its classes are gone, though the function may be called).
Result<ModuleState*> live_state(PyObject* module);

}  // namespace arbolite
