// The files the add-in could not write, kept for the host to ask after a call: the return
// channel beside the debug log's "FAIL: ... unable to write" lines, which stay as they are.
#pragma once

#include <string>
#include <vector>

// Notes that `path` could not be written; a path noted already is not noted again.
void note_unwritten_file(const std::string& path);
// The paths noted since the last call, in the order they were first noted; forgets them.
std::vector<std::string> take_unwritten_files();
