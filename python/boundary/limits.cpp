#include "python/boundary/limits.hpp"

#include <sys/resource.h>
#include <sys/sysinfo.h>

#include <algorithm>
#include <chrono>
#include <string>

namespace arbolite {

std::uint64_t memory_limit() noexcept {
    std::uint64_t limit = PTRDIFF_MAX;
    struct sysinfo info;
    if (sysinfo(&info) == 0) {
        const std::uint64_t unit = info.mem_unit ? info.mem_unit : 1;
        limit = std::min(limit, (static_cast<std::uint64_t>(info.totalram) + info.totalswap) * unit);
    }
    struct rlimit lim;
    if (getrlimit(RLIMIT_AS, &lim) == 0 && lim.rlim_cur != RLIM_INFINITY) limit = std::min<std::uint64_t>(limit, lim.rlim_cur);
    return limit;
}

Error result_too_large(const char* what, std::uint64_t bytes) {
    const std::string needed = bytes == UINT64_MAX ? "more than " + std::to_string(UINT64_MAX) : std::to_string(bytes);
    return Error::deferred(PyExc_MemoryError, std::string(what) + " would take at least " + needed +
                                                  " bytes; no more than " + std::to_string(memory_limit()) +
                                                  " can be held (the tree shares nodes among many places)");
}

Status SignalCheck::poll() {
    // Other threads get the lock now and then (nodes never change, and what
    // the walk built so far is the walk's alone), among them one that would
    // interrupt this one. A thread waiting for the lock asks for it only
    // after a whole switch interval (5 ms by default) passes without the
    // lock being dropped, and each drop wakes it and restarts that wait, so
    // a walk that dropped it every few microseconds would keep the lock for
    // seconds: it is dropped at most once per kHandOff, well past the
    // interval, and the waiter's request then makes the drop a real switch.
    constexpr auto kHandOff = std::chrono::milliseconds(20);
    thread_local std::chrono::steady_clock::time_point last_hand_off{};
    const auto now = std::chrono::steady_clock::now();
    if (now - last_hand_off >= kHandOff) {
        PyThreadState* self = PyEval_SaveThread();
        PyEval_RestoreThread(self);
        last_hand_off = std::chrono::steady_clock::now();
    }
    if (PyErr_CheckSignals() < 0) return Error::fetch();
    return ok();
}

}  // namespace arbolite
