// The Node class: the Python face of a core node block (core/tree/node.hpp),
// whose first two words are the object header.
#pragma once
#include <Python.h>

#include <cstddef>
#include <cstdint>

#include "core/tree/node.hpp"
#include "python/boundary/error.hpp"

namespace arbolite {

static_assert(sizeof(PyObject) == sizeof(ObjectHead), "a core node starts with a Python object header");
static_assert(offsetof(PyObject, ob_type) == offsetof(ObjectHead, type));

inline Node* as_node(PyObject* obj) noexcept { return reinterpret_cast<Node*>(obj); }
inline PyObject* as_object(Node* node) noexcept { return reinterpret_cast<PyObject*>(node); }

// The Node class of one module object; null with an exception set on failure.
PyTypeObject* create_node_type(PyObject* module);
bool is_node(handle obj);

// The receiver check of every method: a Node, or the type error naming Node.
Result<Node*> node_receiver(handle self);

// Nodes built without the interpreter lock each refer to the type; this
// counts those references once the lock is held again.
void adopt_nodes(PyTypeObject* type, std::uint64_t count) noexcept;

}  // namespace arbolite
