// The module object: counts live instances and server locks, so that the module knows when it
// may be unloaded. Thread-safe.
#pragma once

#include <atomic>

#include "platform/com.h"

class CTarnwickModule {
public:
    // Raises the lock count; returns the new count.
    LONG lock();
    // Lowers the lock count; returns the new count.
    LONG unlock();
    // The current count: live instances plus server locks.
    LONG lock_count() const;

private:
    std::atomic<LONG> count_{0};
};

// The one module object of the process.
CTarnwickModule& tarnwick_module();
