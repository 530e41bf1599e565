// Pickling and copying. A node pickles as a call of the module's
// _restore_node on one bytes object, the tree's compact form
// (core/tree/serial.hpp): one object however deep or wide the tree, so
// pickle's own recursion never sees the nesting, and sharing inside the tree
// survives. Nodes never change, so a copy of one, shallow or deep, is the
// node itself.
#include "core/tree/serial.hpp"
#include "python/boundary/call.hpp"
#include "python/boundary/lock.hpp"
#include "python/module_state.hpp"
#include "python/node/methods.hpp"
#include "python/node/node_object.hpp"

namespace arbolite {
namespace {

// Small blobs are restored with the lock held: releasing it costs more than
// they take.
constexpr std::size_t kLockFreeBytes = 64 * 1024;

PyObject* restore_node(PyObject* module, PyObject* data) {
    return guarded([&]() -> Result<object> {
        ARBOLITE_TRY(state, live_state(module));
        if (!PyBytes_Check(data)) return argument_error("data", type_error(data, "bytes"));
        // Bytes never change and the caller's reference keeps them alive,
        // so they are read in place, without the lock for large trees.
        const std::string_view blob(PyBytes_AS_STRING(data), static_cast<std::size_t>(PyBytes_GET_SIZE(data)));
        PyTypeObject* node_type = state->node_type;
        const void* type = node_type;
        auto outcome = blob.size() < kLockFreeBytes ? restore_tree(blob, type)
                                                    : without_lock([&] { return restore_tree(blob, type); });
        if (auto* failure = std::get_if<CoreError>(&outcome)) return Error::core(*failure);
        const RestoredTree& tree = std::get<RestoredTree>(outcome);
        adopt_nodes(node_type, tree.node_count);
        return steal(as_object(tree.root));
    });
}

// The name is part of every pickle ever written: it must stay importable
// as arbolite._restore_node, and the blob's version byte must stay readable.
PyMethodDef kRestoreDef = {
    "_restore_node", restore_node, METH_O,
    "_restore_node(data, /)\n--\n\n"
    "Rebuild a tree from the bytes that Node.__reduce__ gives (what unpickling a\n"
    "Node calls). Raises ValueError for bytes that are not such a tree.",
};

}  // namespace

PyObject* new_restore_function(PyObject* module) {
    object name = steal(PyUnicode_FromString("arbolite"));
    return name ? PyCMethod_New(&kRestoreDef, module, name.ptr(), nullptr) : nullptr;
}

PyObject* node_reduce(PyObject* self, PyObject*) {
    return guarded([&]() -> Result<object> {
        ARBOLITE_TRY(node, node_receiver(self));
        ByteBuffer blob;
        serialize_tree(node, blob);
        object bytes = steal(check_created(PyBytes_FromStringAndSize(blob.data(), static_cast<Py_ssize_t>(blob.size()))));
        object args = steal(check_created(PyTuple_Pack(1, bytes.ptr())));
        // The function found under the module's name now, as pickle checks: a
        // node made before a re-import pickles through the new module object.
        object name = steal(check_created(PyUnicode_FromString("arbolite")));
        object module = steal(PyImport_GetModule(name.ptr()));
        if (!module && !PyErr_Occurred()) module = steal(PyImport_Import(name.ptr()));
        if (!module) return Error::fetch();
        object restore = steal(PyObject_GetAttrString(module.ptr(), "_restore_node"));
        if (!restore) return Error::fetch();
        return steal(check_created(PyTuple_Pack(2, restore.ptr(), args.ptr())));
    });
}

PyObject* node_copy(PyObject* self, PyObject*) {
    return guarded([&]() -> Result<object> {
        ARBOLITE_TRY(node, node_receiver(self));
        return borrow(as_object(node));
    });
}

PyObject* node_deepcopy(PyObject* self, PyObject*) {
    return node_copy(self, nullptr);
}

}  // namespace arbolite
