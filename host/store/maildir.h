// Maildir++ on disk: folders, message file names and the moves that keep a Maildir safe while a
// delivery agent or an IMAP server works on it at the same time. No COM and no MIME here.
//
// A folder is named by its Maildir++ name: "" is the root Maildir (the inbox), "Pending" is the
// directory ".Pending", "Lists.Work" is ".Lists.Work" (the subfolder "Work" of "Lists").
#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace maildir {

// The directory of `folder` below the Maildir `root`.
std::string folder_directory(const std::string& root, const std::string& folder);

// The unique part of a message file name: everything before the first ':'.
std::string_view unique_part(std::string_view file_name);
// The flags of a file name whose info is "2,FLAGS"; "" when it has no such info.
std::string flags_of(std::string_view file_name);
// `file_name` with its flags replaced by `flags` (sorted, each once). The unique part stays, and
// an info of another kind than "2," is replaced by "2,".
std::string with_flags(std::string_view file_name, std::string_view flags);

// One message file as found on disk.
struct message_file {
    std::string subdir;  // "new" or "cur" ("tmp" for a delivery in hand)
    std::string name;
    timespec mtime{};  // the arrival time, which renames keep
    long long size = 0;
};

// The arrival order: by arrival time, then by name.
bool arrived_before(const message_file& a, const message_file& b);

// The message files of `folder_dir`/`subdir`, in no particular order: regular files whose name
// does not start with '.'. Empty when the directory cannot be read.
std::vector<message_file> list_messages(const std::string& folder_dir, const char* subdir);
// Both new/ and cur/, sorted by arrival (oldest first, then by name).
std::vector<message_file> list_all_messages(const std::string& folder_dir);
// The file whose unique part is `unique`, looked for in new/ and then in cur/.
std::optional<message_file> find_by_unique(const std::string& folder_dir, std::string_view unique);

// Renames `from` to `to` without ever replacing a file at `to`. Falls back to link and unlink
// where the file system has no such rename, and to a copy through the target's tmp/ across file
// systems. Returns 0 or the errno of the failure (EEXIST when `to` exists).
int move_no_replace(const std::string& from, const std::string& to);

// A new unique name by the Maildir rules: seconds, microseconds, process id, a counter, host.
std::string new_unique_name();
// The name in tmp/ of a file this program writes there before moving it to `name`: marked, so
// that a later run can tell what a process that ended early left there from another program's
// file, which it must not touch.
std::string temporary_name(std::string_view name);
// The name that the file named `temporary` by temporary_name is to have.
std::string_view name_of_temporary(std::string_view temporary);
// Removes from `folder_dir`/tmp the files this program left there (named by temporary_name).
// Call it only while holding the Maildir's lock, which every writer of this program holds.
// Gives the names removed; those that could not be removed go to `not_removed` with the reason.
// A file named `except` stays (a delivery in hand).
std::vector<std::string> remove_own_temporaries(const std::string& folder_dir, std::vector<std::string>& not_removed,
                                                std::string_view except = {});

// True for a folder name that create_subfolder may make: not empty, no '/', no empty level
// (so no leading, trailing or doubled '.'), no control characters.
bool valid_folder_name(std::string_view name);
// Makes the folder directory with tmp/, new/ and cur/, and the "maildirfolder" marker for a
// subfolder. An existing folder is fine. Returns 0 or the errno of the failure, with the path
// that could not be made in `failed_path` when given.
int create_folder(const std::string& root, const std::string& folder, std::string* failed_path = nullptr);
// True when `folder_dir` has readable new/ and cur/ directories.
bool is_maildir(const std::string& folder_dir);

// Names of the folders directly below `folder` ("" for the inbox), sorted, with full Maildir++
// names. A level that exists only through deeper folders (".A.B" without ".A") is listed too.
std::vector<std::string> subfolders(const std::string& root, const std::string& folder);
// The two halves of subfolders: the names (without the leading '.') of the directories below
// `root` whose names start with '.', sorted; and the folders directly below `folder` among them.
std::vector<std::string> folder_entries(const std::string& root);
std::vector<std::string> children_among(const std::vector<std::string>& entries, const std::string& folder);

// Writes `bytes` into `folder_dir`/tmp and moves the file into new/ (a delivery). Returns the
// final path; on failure none, with `error` saying what failed and why. With `cur_flags` the
// file goes straight into cur/ instead, its name ending in ":2,FLAGS" of that text ("" for
// unread): mail that clients show but that is not new.
std::optional<std::string> deliver(const std::string& folder_dir, std::string_view bytes, std::string& error,
                                   const std::optional<std::string>& cur_flags = std::nullopt);
// The same into new/ under the unique name `name` (from new_unique_name), chosen beforehand.
std::optional<std::string> deliver_named(const std::string& folder_dir, const std::string& name, std::string_view bytes,
                                         std::string& error);

// True when the file at `path` starts with a header field ("Name: ..."), as mail does; false for
// an empty file, text or binary data, and a file that cannot be read.
bool starts_with_header_field(const std::string& path);
// The same for the first bytes of a message.
bool starts_with_header_field(std::string_view start);

// The message's header block (up to and including the empty line that ends it, at most
// `limit` bytes). None when the file cannot be read.
std::optional<std::string> read_header_block(const std::string& path, size_t limit = 1 << 20);
// The same of a message held in memory (for a `limit` that is a multiple of 8192, what
// read_header_block gives for a file of these bytes).
std::string header_block_of(std::string_view message, size_t limit = 1 << 20);

}  // namespace maildir
