// POSIX file helpers shared by the platform layer and the Linux host. Only on POSIX systems.
//
// The operations that change files ask the test seam of file_io.h before each step; each gives
// 0 or the errno of the failure, and a step that fails has done nothing. When a later step fails,
// what the earlier ones made is removed again.
#pragma once

#include <time.h>

#include <optional>
#include <string>
#include <string_view>

namespace posix_files {

// True when `path` names a directory (links followed).
bool is_directory(const std::string& path);
// Writes all of `bytes` to `fd`, retrying after interruptions; false on a write error.
bool write_all(int fd, std::string_view bytes);
// The folder part of `path`: "." when it has no "/", "/" for a file at the root.
std::string parent_of(const std::string& path);

// Opens `path` (links followed) for reading when it is a regular file. Never waits: an ordinary
// open of a FIFO that nobody writes to, or its first read, would wait for ever. The descriptor,
// or -1 with errno set: EISDIR for a folder, ENOTSUP for anything else that is no regular file
// (a FIFO, a device, a socket).
int open_regular_file(const std::string& path);
// Reads the regular file `path` whole into `content`: 0, or the errno of open_regular_file or of
// the failed read.
int read_regular_file(const std::string& path, std::string& content);
// The system's text for the errno of open_regular_file or read_regular_file; for ENOTSUP, "not a
// regular file".
std::string reading_error_text(int error);

// Makes the file `path`, which must not exist (EEXIST then), with `bytes` and the permissions
// `mode`, and flushes it to disk; with `mtime`, that is its modification time. Steps: create,
// write, flush. On failure no file is left at `path`.
int create_file(const std::string& path, std::string_view bytes, unsigned mode, const timespec* mtime = nullptr);
// Renames `from` to `to` unless a file is at `to` (EEXIST then). EINVAL, ENOSYS or ENOTSUP when
// the file system cannot rename that way. Step: rename.
int rename_no_replace(const std::string& from, const std::string& to);
// Gives the file `from` the second name `to`, which must not exist. Step: link.
int link_file(const std::string& from, const std::string& to);
// Removes the name `path`. Step: unlink.
int remove_file(const std::string& path);
// Flushes the folder `dir`, so that renames and creations in it survive a crash. Step: sync_folder.
int sync_directory(const std::string& dir);
// Opens the lock file `path` for reading and writing, made private to the user when missing.
// The descriptor, or -1 with errno set. Step: create.
int open_lock_file(const std::string& path);
// Replaces `path` by `bytes` for every reader at once, as replace_file_atomically does, but
// without flushing the new content to disk first: after a crash the file may be old, new, or
// cut short. Only for a file that is replaced with replace_file_atomically again before the work
// it records is reported done. Steps: create_temporary, write, rename.
bool replace_file_unflushed(const std::string& path, std::string_view bytes);
// Replaces the whole content of the open file `fd` (named `path`) by `bytes`. Step: write.
int rewrite_file(int fd, const std::string& path, std::string_view bytes);

// The application-data folder: `chosen`, made (private to the user) with the folders above it
// when missing, or user_app_data_folder() when `chosen` is empty. None when it cannot be made.
std::optional<std::string> app_data_folder(const std::string& chosen);

// A program may take over the flush of the folder of each file replace_file_atomically replaces,
// to flush each folder once for many replacements: its hook answers nonzero when it has taken
// `folder` over. Without a hook (the default) every replacement flushes its folder at once.
using folder_sync_hook = int (*)(const char* folder);
void set_folder_sync_hook(folder_sync_hook hook);
// What the hook of this copy of the layer answers; 0 without one. A program hands this to the
// module it loads, so that the module's copy of the layer defers through the program's hook.
int defer_folder_sync(const char* folder);

// The environment's fault plan of file_io.h counts the steps of the whole process, yet a program
// and the module it loads each carry a copy of this layer: the program hands the module this
// copy's count, and the module's copy counts through it. Null in builds without the plan.
using file_fault_count = int (*)(int step, const char* path);
file_fault_count file_fault_plan();
// Counts through `shared` (another copy's plan) from now on; null goes back to this copy's own.
void share_file_fault_plan(file_fault_count shared);

}  // namespace posix_files
