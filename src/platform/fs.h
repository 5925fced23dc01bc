// The operating system's folders and file operations that the data directory needs.
#pragma once

#include <optional>
#include <string>

// The current user's application-data folder, created when missing; none when it cannot be found.
std::optional<std::string> user_app_data_folder();
// Appends one path component with the platform's separator (no trailing separator added).
std::string append_path_component(const std::string& folder, const std::string& name);
// The folder of the module (DLL, shared object or program) that holds this code.
std::string module_folder();
// Creates one directory level; an existing directory is fine. The data directory is private to
// the user where the platform has permissions.
bool create_private_directory(const std::string& path);
// Copies `from` to `to` unless `to` exists; never overwrites. False when nothing was copied.
bool copy_file_if_absent(const std::string& from, const std::string& to);
// Renames `from` to `to`, replacing a file already at `to`. False when it could not.
bool rename_replacing(const std::string& from, const std::string& to);
