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

// Writes one piece of a new file's content after the pieces before it; false when it failed.
using file_piece_writer = std::function<bool(std::string_view piece)>;
// The same, with the content made piece by piece by `produce`, which hands each piece to the
// writer it is given and returns false when a write failed: a large file is never held whole.
bool replace_file_atomically(const std::string& path, const std::function<bool(const file_piece_writer&)>& produce);

// Hands the content of the file at `path` to `consume`, piece by piece and in order, so that a
// large file is never held whole. False when it cannot be opened, or could not be read to its
// end (the pieces before the failure have been handed over then).
bool read_file_in_pieces(const std::string& path, const std::function<void(std::string_view piece)>& consume);

// Removes from `folder` the temporary files that replace_file_atomically leaves when the process
// ends between creating and renaming one: only names of the exact form it makes ("<file>.tmp-"
// and its unique part), and only files. Gives the names removed.
std::vector<std::string> remove_leftover_temporaries(const std::string& folder);

// The steps of the file operations of the platform layer: the atomic replacement here, and on
// POSIX systems the operations that a Maildir program commits its work with (platform/posix_files.h).
enum class file_step {
    create_temporary,  // making the temporary file of a replacement
    write,             // writing a file's content
    flush,             // flushing a file to disk
    rename,            // renaming, replacing or not
    create,            // making a new file, or opening one that may be made (a lock file)
    link,              // a second name for a file
    unlink,            // removing a name
    sync_folder,       // flushing a folder, so that the renames and creations in it last
};

// The step's name as the fault trace writes it: "create_temporary", "write", ...
const char* file_step_name(file_step step);

// Test seam. Every step of those operations asks the seam first, and a step it refuses fails as
// its system call would, having done nothing. Two ways to make steps fail:
//
// - set_file_fault_hook: while a hook is set, a false answer refuses the step (with EIO where an
//   errno is given). Pass an empty function to remove it.
// - In builds configured with TARNWICK_FAULT_INJECTION (the native presets), the environment,
//   read at the first step:
//     TARNWICK_FAULT_AT=N[:ERROR]  the N-th step (counted from 1) fails with ERROR: ENOSPC
//                                  (the default), EIO or an errno number.
//     TARNWICK_FAULT_TRACE=FILE    each step is appended to FILE as a line "N STEP PATH".
//   The count is one for the whole process: a program and the module it loads count together.
//   Other builds ignore these variables.
void set_file_fault_hook(std::function<bool(file_step, const std::string& path)> hook);
// 0 when the test seam lets this step go ahead, else the errno the step is to fail with: for the
// file operations of a program's own that the seam should reach too.
int file_step_error(file_step step, const std::string& path);
