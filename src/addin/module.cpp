#include "addin/module.h"

LONG CTarnwickModule::lock() { return ++count_; }

LONG CTarnwickModule::unlock() { return --count_; }

LONG CTarnwickModule::lock_count() const { return count_.load(); }

CTarnwickModule& tarnwick_module() {
    // Constant-initialised, so it exists before any DllMain or static constructor runs.
    static constinit CTarnwickModule module;
    return module;
}
