// The one place where the module's results and errors cross into Python.
// Every entry point wraps its body in `guarded`; C++ exceptions stop here.
#pragma once
#include <Python.h>

#include <exception>
#include <new>

#include "boundary/error.hpp"

namespace arbolite {

namespace detail {
inline void raise_unknown(const char* what) noexcept {
    raise_fatal(FatalError{what ? what : "unknown C++ exception", std::source_location::current()});
}
}  // namespace detail

// For slots returning an object: the body returns Result<object>.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
    try {
        Result<object> r = body();
        if (r) return (*r).release();
        raise_error(std::move(r).error());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const FatalError& f) {
        raise_fatal(f);
    } catch (const std::exception& e) {
        detail::raise_unknown(e.what());
    } catch (...) {
        detail::raise_unknown(nullptr);
    }
    return nullptr;
}

// For slots returning int (0 on success, -1 with an exception set).
template <class Body>
int guarded_status(Body&& body) noexcept {
    try {
        Status s = body();
        if (s) return 0;
        raise_error(std::move(s).error());
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const FatalError& f) {
        raise_fatal(f);
    } catch (const std::exception& e) {
        detail::raise_unknown(e.what());
    } catch (...) {
        detail::raise_unknown(nullptr);
    }
    return -1;
}

}  // namespace arbolite
