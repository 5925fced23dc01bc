// POSIX file helpers shared by the platform layer and the Linux host. Only on POSIX systems.
#pragma once

#include <string>
#include <string_view>

namespace posix_files {

// True when `path` names a directory (links followed).
bool is_directory(const std::string& path);
// Writes all of `bytes` to `fd`, retrying after interruptions; false on a write error.
bool write_all(int fd, std::string_view bytes);
// The folder part of `path`: "." when it has no "/", "/" for a file at the root.
std::string parent_of(const std::string& path);
// Makes a rename or creation inside `dir` durable; failures are ignored (best effort).
void sync_directory(const std::string& dir);

}  // namespace posix_files
