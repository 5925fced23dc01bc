// Guards for the test seams of the file steps and of the clocks: whatever a test sets there, the
// real steps and clocks come back when the guard goes, also when an assertion ends a test early.
#pragma once

#include <functional>
#include <string>
#include <utility>

#include "diag/timers.h"
#include "platform/file_io.h"

// Refuses the file steps that `hook` answers false for, as long as the guard lives (none without
// a hook: then it only clears what the test sets meanwhile).
class fault_hook_guard {
public:
    fault_hook_guard() = default;
    explicit fault_hook_guard(std::function<bool(file_step, const std::string& path)> hook) {
        set_file_fault_hook(std::move(hook));
    }
    ~fault_hook_guard() { set_file_fault_hook({}); }
    fault_hook_guard(const fault_hook_guard&) = delete;
    fault_hook_guard& operator=(const fault_hook_guard&) = delete;
};

// Puts back the real wall and processor clocks when it goes.
class clock_guard {
public:
    clock_guard() = default;
    ~clock_guard() {
        set_wall_clock_for_tests({});
        set_processor_clock_for_tests({});
    }
    clock_guard(const clock_guard&) = delete;
    clock_guard& operator=(const clock_guard&) = delete;
};
