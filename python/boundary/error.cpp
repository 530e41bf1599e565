#include "python/boundary/error.hpp"

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace arbolite {
namespace {

PyObject* os_exception_type(int code) {
    switch (code) {
        case ENOENT: return PyExc_FileNotFoundError;
        case EPERM:
        case EACCES: return PyExc_PermissionError;
        case EEXIST: return PyExc_FileExistsError;
        case EISDIR: return PyExc_IsADirectoryError;
        case ENOTDIR: return PyExc_NotADirectoryError;
        case EAGAIN: return PyExc_BlockingIOError;
        case EINTR: return PyExc_InterruptedError;
        case EPIPE: return PyExc_BrokenPipeError;
        case ECONNREFUSED: return PyExc_ConnectionRefusedError;
        case ECONNRESET: return PyExc_ConnectionResetError;
        case ECONNABORTED: return PyExc_ConnectionAbortedError;
        case ETIMEDOUT: return PyExc_TimeoutError;
        case ENOMEM: return PyExc_MemoryError;
        default: return PyExc_OSError;
    }
}

std::string os_error_text(int code) {
    char buf[256];
    const char* text = strerror_r(code, buf, sizeof buf);  // GNU variant: may return a static string
    return std::string(text) + " (os error " + std::to_string(code) + ")";
}

// Builds `type(message)`; the message is UTF-8.
object make_exception(PyObject* type, std::string_view message) {
    object text = steal(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (!text) return steal(PyErr_GetRaisedException());
    object exc = steal(PyObject_CallOneArg(type, text.ptr()));
    if (!exc) return steal(PyErr_GetRaisedException());
    return exc;
}

}  // namespace

Error Error::fetch() {
    PyObject* exc = PyErr_GetRaisedException();
    if (!exc) return deferred(PyExc_SystemError, "attempted to fetch exception but none was set");
    return Error(steal(exc));
}

object Error::materialize() && {
    if (exception_) return std::move(exception_);
    if (os_code_ > 0) return make_exception(os_exception_type(os_code_), os_error_text(os_code_));
    if (os_code_ == 0) return make_exception(PyExc_OSError, message_);
    return make_exception(type_, message_);
}

std::string type_qualname(PyTypeObject* type) {
    object name = steal(PyType_GetQualName(type));
    if (name) {
        Py_ssize_t len = 0;
        const char* s = PyUnicode_AsUTF8AndSize(name.ptr(), &len);
        if (s) return std::string(s, static_cast<size_t>(len));
    }
    PyErr_Clear();
    return "<failed to extract type name>";
}

Error type_error(handle obj, const char* target) {
    std::string message;
    if (obj.is_none()) {
        message = std::string("'None' is not an instance of '") + target + "'";
    } else {
        message = "'" + type_qualname(Py_TYPE(obj.ptr())) + "' object is not an instance of '" + target + "'";
    }
    return Error::deferred(PyExc_TypeError, std::move(message));
}

Error argument_error(const char* parameter, Error error) {
    object exc = std::move(error).materialize();
    std::string note = std::string("while processing '") + parameter + "'";
    // The interned name, the same object for every lookup: a name made anew
    // per error would each take a slot in the type attribute cache.
    object add_note_name = steal(PyUnicode_InternFromString("add_note"));
    object add_note = add_note_name ? steal(PyObject_GetAttr(exc.ptr(), add_note_name.ptr())) : object();
    object text = steal(PyUnicode_FromStringAndSize(note.data(), static_cast<Py_ssize_t>(note.size())));
    object result;
    if (add_note && text) result = steal(PyObject_CallOneArg(add_note.ptr(), text.ptr()));
    if (!result) PyErr_Clear();  // an exception that takes no notes is raised without one
    return Error::from_exception(std::move(exc));
}

void fatal(std::string message, std::source_location where) {
    throw FatalError{std::move(message), where};
}

PyObject* check_created(PyObject* p, std::source_location where) {
    if (p) return p;
    if (PyErr_ExceptionMatches(PyExc_MemoryError)) throw std::bad_alloc();
    if (PyErr_Occurred()) PyErr_WriteUnraisable(nullptr);
    fatal("the interpreter failed to create an object", where);
}

PyObject* new_internal_error_type() {
    return PyErr_NewExceptionWithDoc("arbolite.InternalError", "An invariant of arbolite was violated; this is a bug.",
                                     PyExc_BaseException, nullptr);
}

PyObject* new_parse_error_type() {
    // Class-level defaults, so an instance made by hand has the attributes too.
    object defaults = steal(Py_BuildValue("{sOsOsO}", "position", Py_None, "byte", Py_None, "code", Py_None));
    if (!defaults) return nullptr;
    return PyErr_NewExceptionWithDoc(
        "arbolite.ParseError",
        "Malformed XML, or no element of the requested name. A ValueError whose\n"
        "message is unchanged, with position (line from 1, column from 0 in\n"
        "characters), byte (the 0-based byte offset of the message, or None)\n"
        "and code (a short stable name of the error kind).",
        PyExc_ValueError, defaults.ptr());
}

void raise_error(Error&& error) {
    object exc = std::move(error).materialize();
    PyErr_SetRaisedException(exc.release());
}

void raise_fatal(const FatalError& f) noexcept {
    std::fprintf(stderr, "arbolite: internal error: %s (%s:%u)\n", f.message.c_str(), f.where.file_name(),
                 static_cast<unsigned>(f.where.line()));
    // The choke point knows no module: the class is the one of the module
    // this interpreter imported, or SystemError when there is none.
    PyErr_Clear();
    object type;
    if (object name = steal(PyUnicode_FromString("arbolite"))) {
        if (object module = steal(PyImport_GetModule(name.ptr()))) {
            type = steal(PyObject_GetAttrString(module.ptr(), "InternalError"));
        }
    }
    PyErr_Clear();
    if (!type || !PyExceptionClass_Check(type.ptr())) type = borrow(PyExc_SystemError);
    object exc = make_exception(type.ptr(), f.message);
    PyErr_SetRaisedException(exc.release());
}

Error Error::core(const CoreError& e) {
    using Code = CoreError::Code;
    switch (e.kind) {
        case CoreError::Kind::Io: return os(e.sys, e.detail);
        case CoreError::Kind::Blob: return deferred(PyExc_ValueError, e.message());
        case CoreError::Kind::Output:
            return deferred(e.code == Code::OutputOverflow ? PyExc_OverflowError : PyExc_MemoryError, e.detail);
        case CoreError::Kind::Path:
            return deferred(e.code == Code::PathTooComplex ? PyExc_MemoryError : PyExc_ValueError, e.detail);
        default: return deferred(PyExc_ValueError, e.message());
    }
}

}  // namespace arbolite
