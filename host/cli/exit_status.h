// How `tarnwick` ends: its exit statuses, and the wrong argument that ends it before anything is
// written.
#pragma once

#include <stdexcept>

enum exit_code : int {
    exit_ok = 0,
    exit_failure = 1,  // the work itself failed
    exit_usage = 2,    // a wrong argument: nothing was written
    exit_locked = 75,  // another run holds the data directory (EX_TEMPFAIL)
};

// A wrong argument. Thrown before anything is written; main prints it and exits with
// exit_usage.
struct usage_error : std::runtime_error {
    using std::runtime_error::runtime_error;
};
