// Reading whole files, and replacing them atomically: the new content goes to a temporary file
// beside the target, is flushed to disk and renamed over the target, so that a crash or a full
// disk never leaves a truncated file. Every system call goes through one seam for tests.
#pragma once

#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The whole content of a file, or none when it cannot be opened or read.
std::optional<std::string> read_file(const std::string& path);
// Everything left in `in` (standard input, a pipe), or none when reading it failed.
std::optional<std::string> read_stream(std::istream& in);

// Replaces `path` by `bytes` atomically. False when any step failed; then the old file is
// unchanged and no temporary file is left behind.
bool replace_file_atomically(const std::string& path, std::string_view bytes);

// Removes from `folder` the temporary files that replace_file_atomically leaves when the process
// ends between creating and renaming one: only names of the exact form it makes ("<file>.tmp-"
// and its unique part), and only files. Gives the names removed.
std::vector<std::string> remove_leftover_temporaries(const std::string& folder);

// The steps of an atomic replacement, for fault injection in tests.
enum class file_step { create_temporary, write, flush, rename };

// Test seam: while set, the hook is asked before each step and a false answer makes that step
// fail as the system call would. Pass an empty function to remove it.
void set_file_fault_hook(std::function<bool(file_step, const std::string& path)> hook);
