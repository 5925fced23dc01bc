// Shared by the platform implementations of file_io.h.
#pragma once

#include <string>

#include "platform/file_io.h"

// True when the test hook (if any) lets this step go ahead.
bool file_step_allowed(file_step step, const std::string& path);
