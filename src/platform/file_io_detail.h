// Shared by the platform implementations of file_io.h.
#pragma once

#include <string>

#include "platform/file_io.h"

// True when the test seam lets this step go ahead.
inline bool file_step_allowed(file_step step, const std::string& path) { return file_step_error(step, path) == 0; }

// The environment's fault plan (see file_io.h) for this step: 0 to go ahead, else an errno.
#ifdef TARNWICK_FAULT_INJECTION
int injected_file_fault(file_step step, const std::string& path);
#else
inline int injected_file_fault(file_step, const std::string&) { return 0; }
#endif
