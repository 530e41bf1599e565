// Module entry: multi-phase initialisation. PyInit_arbolite only hands over
// the definition; the execution function registers the classes and functions.
#include <Python.h>

#include "python/boundary/call.hpp"
#include "python/boundary/error.hpp"
#include "python/boundary/convert.hpp"
#include "python/functions.hpp"
#include "python/module_state.hpp"
#include "python/node/methods.hpp"
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

// Set without a place in __all__.
Status set_attribute(handle module, const char* name, handle value) {
    if (PyObject_SetAttrString(module.ptr(), name, value.ptr()) < 0) return Error::fetch();
    return ok();
}

// A class or exception the interpreter failed to make: its error stays set.
template <class T>
Result<T*> made(T* created) {
    if (!created) return Error::fetch();
    return created;
}

int module_exec(PyObject* module) {
    return guarded_status([&]() -> Status {
        if (!module) return Error::fetch();
        if (!PyModule_Check(module)) return type_error(module, "module");
        ModuleState& st = module_state(module);
        ARBOLITE_TRY(search_type, made(create_search_type(module)));
        st.search_type = search_type;
        ARBOLITE_TRY(node_type, made(create_node_type(module)));
        st.node_type = node_type;
        ARBOLITE_TRY(stream_type, made(create_stream_type(module)));
        st.stream_type = stream_type;
        ARBOLITE_TRY(parse_error, made(new_parse_error_type()));
        st.parse_error = parse_error;
        ARBOLITE_TRY(internal_error, made(new_internal_error_type()));
        st.internal_error = internal_error;
        if (!st.names.fill()) return Error::fetch();

        ARBOLITE_CHECK(add_type(module, "SearchType", st.search_type));
        ARBOLITE_CHECK(add_type(module, "Node", st.node_type));
        for (PyMethodDef* def = module_functions(); def->ml_name; ++def) {
            ARBOLITE_CHECK(add_function(module, def));
        }
        object key = steal(check_created(PyUnicode_FromString("ParseError")));
        ARBOLITE_CHECK(module_add(module, key, st.parse_error));
        ARBOLITE_CHECK(add_type(module, "InternalError", reinterpret_cast<PyTypeObject*>(st.internal_error)));
        for (PyMethodDef* def = stream_functions(); def->ml_name; ++def) {
            ARBOLITE_CHECK(add_function(module, def));
        }
        for (PyMethodDef* def = dict_functions(); def->ml_name; ++def) {
            ARBOLITE_CHECK(add_function(module, def));
        }
        ARBOLITE_CHECK(set_attribute(module, "__version__", new_str(ARBOLITE_VERSION)));
        ARBOLITE_TRY(restore, made(new_restore_function(module)));
        ARBOLITE_CHECK(set_attribute(module, "_restore_node", steal(restore)));
        return ok();
    });
}

int module_traverse(PyObject* module, visitproc visit, void* arg) {
    ModuleState& st = module_state(module);
    Py_VISIT(st.node_type);
    Py_VISIT(st.search_type);
    Py_VISIT(st.stream_type);
    Py_VISIT(st.parse_error);
    Py_VISIT(st.internal_error);
    return 0;
}

int module_clear(PyObject* module) {
    ModuleState& st = module_state(module);
    Py_CLEAR(st.node_type);
    Py_CLEAR(st.search_type);
    Py_CLEAR(st.stream_type);
    Py_CLEAR(st.parse_error);
    Py_CLEAR(st.internal_error);
    st.names.clear();
    st.values.clear();
    return 0;
}

constexpr const char kModuleDoc[] =
    "Immutable XML trees: read, search, convert and write.\n"
    "\n"
    "arbolite reads an XML document into a tree of immutable Node objects,\n"
    "searches it, converts it to and from nested dicts, renders it as a\n"
    "readable outline and writes it back as XML. Reading and writing run in\n"
    "C++ with the interpreter lock released, so other threads keep running.\n"
    "\n"
    "Reading and writing:\n"
    "    read_string(xml_string, root_tag) -> Node\n"
    "    read_file(file_path, root_tag) -> Node\n"
    "    read_dict(xml_string, root_tag) -> dict: read_string(...).to_dict(),\n"
    "        made straight from the parse\n"
    "    write_string(node, indent=None, default_xml_def=None) -> str\n"
    "    write_file(node, file_path, indent=None, default_xml_def=None) -> None\n"
    "    iter_file(source, tag), iter_string(xml, tag): the elements named tag,\n"
    "        one complete Node at a time, in memory that does not grow with the\n"
    "        document\n"
    "    parse_dict(xml, **options) -> dict, unparse_dict(mapping, **options) -> str:\n"
    "        the dictionaries of xmltodict.parse and xmltodict.unparse\n"
    "Paths may be str, bytes or os.PathLike; documents may be str or bytes-like\n"
    "(decoded by byte-order mark, then the XML declaration, then as UTF-8).\n"
    "\n"
    "Trees:\n"
    "    Node(name, attrs=None, children=None, text=None)\n"
    "        .name .attrs .children .text\n"
    "        .search(by, value, depth=None) and .search_by_name/_attr/_text\n"
    "        .to_dict() and Node.from_dict(dict_)\n"
    "        str(node): an indented outline\n"
    "    SearchType.Tag, SearchType.Attr, SearchType.Text: the rules of search\n"
    "\n"
    "Errors: TypeError for an argument of the wrong type (with a note naming\n"
    "the parameter), ParseError (a ValueError with position, byte and code)\n"
    "for malformed XML or a missing root element, ValueError for a bad node\n"
    "dict, the fitting OSError subclass for file errors. InternalError\n"
    "(a BaseException, not an Exception) reports a bug in arbolite itself.\n"
    "\n"
    "Nodes pickle, with shared nodes kept shared; copy.copy and copy.deepcopy\n"
    "return the node itself, since it cannot change.";

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(module_exec)},
    // Everything the module keeps is in its state, and the process-wide native
    // state (the slab pool, the kernel choice) is shared safely by threads, so
    // interpreters with their own lock may each import it.
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
    {0, nullptr},
};

PyModuleDef kDefinition = {
    PyModuleDef_HEAD_INIT,
    "arbolite",
    kModuleDoc,
    sizeof(ModuleState),  // zeroed by the interpreter, which is the empty state
    nullptr, kSlots, module_traverse, module_clear,
    [](void* module) { module_clear(static_cast<PyObject*>(module)); },
};

}  // namespace

Result<ModuleState*> live_state(PyObject* module) {
    ModuleState* st = module ? static_cast<ModuleState*>(PyModule_GetState(module)) : nullptr;
    if (!st || !st->node_type) {
        PyErr_Clear();
        return Error::deferred(PyExc_RuntimeError, "the arbolite module has been torn down");
    }
    return st;
}

}  // namespace arbolite

PyMODINIT_FUNC PyInit_arbolite(void) { return PyModuleDef_Init(&arbolite::kDefinition); }
