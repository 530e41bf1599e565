// Building many containers that hold no cycle: a collection that their
// numbers set off would only walk them in vain, so the collector waits until
// the call is over (the lock is held throughout, so nothing else runs).
#pragma once
#include <Python.h>

namespace arbolite {

class CollectorPause {
public:
    CollectorPause() noexcept : was_enabled_(PyGC_Disable()) {}
    ~CollectorPause() {
        if (was_enabled_) PyGC_Enable();
    }
    CollectorPause(const CollectorPause&) = delete;
    CollectorPause& operator=(const CollectorPause&) = delete;

private:
    int was_enabled_;
};

}  // namespace arbolite
