// Appending to the host's record files, which are added to and never rewritten for each line.
#pragma once

#include <string>
#include <string_view>

// Appends `bytes` to the file `path`, made (private to the user) when missing, and flushes it to
// disk when `flush`. A file that does not end with a newline (an append cut short by a crash)
// gets one first, so that a broken line never swallows the next. 0, or the errno of the step
// that failed (create, write, flush: through the test seam of platform/file_io.h).
int append_to_file(const std::string& path, std::string_view bytes, bool flush);

// Flushes the file `path` to disk: 0, or the errno. Step: flush.
int flush_file(const std::string& path);
