// The one place where the module's results and errors cross into Python.
// Every entry point wraps its body in `guarded`; C++ exceptions stop here.
#pragma once
#include <Python.h>

#include <exception>
#include <new>
#include <stdexcept>

#include "python/boundary/error.hpp"

namespace arbolite {

namespace detail {
inline void raise_unknown(const char* what) noexcept {
    raise_fatal(FatalError{what ? what : "unknown C++ exception", std::source_location::current()});
}

// Runs `step`, which returns whether it succeeded (with an exception set when
// not), and turns any C++ exception into a Python one.
template <class Step>
bool contain(Step&& step) noexcept {
    try {
        return step();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::length_error&) {
        // A container asked for more than any allocation could give.
        PyErr_NoMemory();
    } catch (const FatalError& f) {
        raise_fatal(f);
    } catch (const std::exception& e) {
        raise_unknown(e.what());
    } catch (...) {
        raise_unknown(nullptr);
    }
    return false;
}
}  // namespace detail

// For slots returning an object: the body returns Result<object>.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
    PyObject* out = nullptr;
    detail::contain([&] {
        Result<object> r = body();
        if (!r) {
            raise_error(std::move(r).error());
            return false;
        }
        out = (*r).release();
        return true;
    });
    return out;
}

// For slots returning int (0 on success, -1 with an exception set).
template <class Body>
int guarded_status(Body&& body) noexcept {
    const bool succeeded = detail::contain([&] {
        Status s = body();
        if (!s) {
            raise_error(std::move(s).error());
            return false;
        }
        return true;
    });
    return succeeded ? 0 : -1;
}

}  // namespace arbolite
