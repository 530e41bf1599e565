#include "python/boundary/convert.hpp"

#include <climits>
#include <cstring>

namespace arbolite {

Result<std::string_view> utf8_view(handle obj) {
    if (!PyUnicode_Check(obj.ptr())) return type_error(obj, "str");
    Py_ssize_t len = 0;
    const char* s = PyUnicode_AsUTF8AndSize(obj.ptr(), &len);
    if (!s) return Error::fetch();
    return std::string_view(s, static_cast<size_t>(len));
}

Result<std::string> path_bytes(handle obj) {
    PyObject* path = obj.ptr();
    object returned;
    if (!PyUnicode_Check(path) && !PyBytes_Check(path)) {
        // Only what declares __fspath__ is a path-like object; for the rest the
        // error stays the one every str parameter gives.
        object method = steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(path)), "__fspath__"));
        if (!method) PyErr_Clear();
        if (!method || method.is_none()) return type_error(obj, "str");
        returned = steal(PyOS_FSPath(path));
        if (!returned) return Error::fetch();
        path = returned.ptr();
    }
    object encoded;
    if (PyUnicode_Check(path)) {
        encoded = steal(PyUnicode_EncodeFSDefault(path));
        if (!encoded) return Error::fetch();
        path = encoded.ptr();
    }
    return std::string(PyBytes_AS_STRING(path), static_cast<std::size_t>(PyBytes_GET_SIZE(path)));
}

namespace {

bool is_numpy_bool_type(PyTypeObject* type) {
    const char* name = type->tp_name;  // "numpy.bool_" or "numpy.bool"
    const char* dot = std::strrchr(name, '.');
    const char* base = dot ? dot + 1 : name;
    if (std::strcmp(base, "bool_") != 0 && std::strcmp(base, "bool") != 0) return false;
    object module = steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
    if (!module) {
        PyErr_Clear();
        return false;
    }
    if (!PyUnicode_Check(module.ptr())) return false;
    return PyUnicode_CompareWithASCIIString(module.ptr(), "numpy") == 0;
}

}  // namespace

Result<bool> strict_bool(handle obj) {
    if (Py_IS_TYPE(obj.ptr(), &PyBool_Type)) return obj.ptr() == Py_True;
    PyTypeObject* type = Py_TYPE(obj.ptr());
    if (!is_numpy_bool_type(type)) return type_error(obj, "bool");
    object method = steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__bool__"));
    if (!method) {
        PyErr_Clear();
        return Error::deferred(PyExc_TypeError, "object of type '" + type_qualname(type) +
                                                    "' does not define a '__bool__' conversion");
    }
    object result = steal(PyObject_CallOneArg(method.ptr(), obj.ptr()));
    if (!result) return Error::fetch();
    if (!Py_IS_TYPE(result.ptr(), &PyBool_Type)) return type_error(result, "bool");
    return result.ptr() == Py_True;
}

Error out_of_range() {
    return Error::deferred(PyExc_OverflowError, "out of range integral type conversion attempted");
}

Result<long> long_in_range(handle obj, long lowest, long highest) {
    const long v = PyLong_AsLong(obj.ptr());
    if (v == -1 && PyErr_Occurred()) return Error::fetch();
    if (v < lowest || v > highest) return out_of_range();
    return v;
}

Result<std::uint64_t> unsigned_index(handle obj) {
    object index = steal(PyNumber_Index(obj.ptr()));
    if (!index) return Error::fetch();
    const unsigned long long v = PyLong_AsUnsignedLongLong(index.ptr());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return Error::fetch();
    return static_cast<std::uint64_t>(v);
}

}  // namespace arbolite
