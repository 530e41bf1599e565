// Running work with the interpreter lock released. The work must not touch any
// Python object: it sees only data copied out beforehand. Because nothing in
// the module ever drops a Python reference without the lock, no list of
// deferred releases is needed.
#pragma once
#include <Python.h>

#include <utility>

namespace arbolite {

template <class Work>
decltype(auto) without_lock(Work&& work) {
    struct Reacquire {
        PyThreadState* state;
        ~Reacquire() { PyEval_RestoreThread(state); }
    } reacquire{PyEval_SaveThread()};
    // The lock comes back on every path out, exceptions (std::bad_alloc) included.
    return std::forward<Work>(work)();
}

}  // namespace arbolite
