// What an operation may take: the memory a result can ever be held in, and
// the checks that let Ctrl-C stop a long walk that holds the lock.
#pragma once
#include <cstdint>

#include "python/boundary/error.hpp"

namespace arbolite {

// The bytes a result could ever occupy: the machine's memory and swap, or
// less when the process's address space is limited.
std::uint64_t memory_limit() noexcept;

// The MemoryError of a result of at least `bytes` bytes that cannot fit,
// refused before any of it is built. `what` names the result.
Error result_too_large(const char* what, std::uint64_t bytes);

// Counts the places of a walk that holds the lock; every few thousand, other
// threads may run, and a signal handler that raised (Ctrl-C:
// KeyboardInterrupt) ends the walk.
class SignalCheck {
public:
    Status operator()() {
        if ((++count_ & 4095) != 0) return ok();
        return poll();
    }

    // The check itself, for a walk that counts its places its own way.
    static Status poll();

private:
    std::uint32_t count_ = 0;
};

}  // namespace arbolite
