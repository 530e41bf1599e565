#include "python/boundary/args.hpp"

#include <cstring>

namespace arbolite {

std::string Params::full_name() const {
    std::string out;
    if (class_name) {
        out += class_name;
        out += '.';
    }
    out += function;
    out += "()";
    return out;
}

namespace {

Error too_many_positional(const Params& p, Py_ssize_t given_count) {
    std::string m = p.full_name() + " takes ";
    if (p.required == p.positional()) {
        m += std::to_string(p.positional());
    } else {
        m += "from " + std::to_string(p.required) + " to " + std::to_string(p.positional());
    }
    m += " positional arguments but " + std::to_string(given_count) + (given_count == 1 ? " was" : " were") +
         " given";
    return Error::deferred(PyExc_TypeError, std::move(m));
}

// The keyword is formatted by the interpreter, so a name that cannot be
// encoded still appears as given.
Error keyword_error(const Params& p, const char* what, PyObject* key) {
    std::string prefix = p.full_name() + " " + what + " '";
    object message = steal(PyUnicode_FromFormat("%s%S'", prefix.c_str(), key));
    if (!message) return Error::fetch();
    object exc = steal(PyObject_CallOneArg(PyExc_TypeError, message.ptr()));
    if (!exc) return Error::fetch();
    return Error::from_exception(std::move(exc));
}

Status place_keyword(const Params& p, Slots& slots, PyObject* key, PyObject* value) {
    Py_ssize_t len = 0;
    const char* name = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &len) : nullptr;
    if (!name) {
        PyErr_Clear();
        return keyword_error(p, "got an unexpected keyword argument", key);
    }
    for (int i = 0; i < p.count; ++i) {
        if (std::strlen(p.names[i]) == static_cast<size_t>(len) && std::memcmp(p.names[i], name, len) == 0) {
            if (slots[i]) return keyword_error(p, "got multiple values for argument", key);
            slots[i] = value;
            return ok();
        }
    }
    return keyword_error(p, "got an unexpected keyword argument", key);
}

Status check_required(const Params& p, const Slots& slots) {
    int missing[8];
    int n = 0;
    for (int i = 0; i < p.required; ++i) {
        if (!slots[i]) missing[n++] = i;
    }
    if (n == 0) return ok();
    std::string m = p.full_name() + " missing " + std::to_string(n) + " required positional " +
                    (n == 1 ? "argument" : "arguments") + ": ";
    for (int k = 0; k < n; ++k) {
        if (k > 0) {
            if (n > 2) m += ",";
            m += (k == n - 1) ? " and " : " ";
        }
        m += "'";
        m += p.names[missing[k]];
        m += "'";
    }
    return Error::deferred(PyExc_TypeError, std::move(m));
}

}  // namespace

Result<Slots> extract_arguments(const Params& p, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    Slots slots{};
    if (nargs > p.positional()) return too_many_positional(p, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = args[i];
    if (kwnames) {
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            ARBOLITE_CHECK(place_keyword(p, slots, PyTuple_GET_ITEM(kwnames, k), args[nargs + k]));
        }
    }
    ARBOLITE_CHECK(check_required(p, slots));
    return slots;
}

Result<Slots> extract_arguments_tuple(const Params& p, PyObject* args, PyObject* kwargs) {
    Slots slots{};
    const Py_ssize_t nargs = args ? PyTuple_GET_SIZE(args) : 0;
    if (nargs > p.positional()) return too_many_positional(p, nargs);
    for (Py_ssize_t i = 0; i < nargs; ++i) slots[i] = PyTuple_GET_ITEM(args, i);
    if (kwargs) {
        Py_ssize_t pos = 0;
        PyObject *key, *value;
        while (PyDict_Next(kwargs, &pos, &key, &value)) {
            ARBOLITE_CHECK(place_keyword(p, slots, key, value));
        }
    }
    ARBOLITE_CHECK(check_required(p, slots));
    return slots;
}

}  // namespace arbolite
