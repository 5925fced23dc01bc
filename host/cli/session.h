// Where and how a command works: the Maildir and data folder it is given, checked before
// anything is written, and the session it runs in (data folder made, locks held, add-in loaded).
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cli/dry_run.h"
#include "cli/options.h"
#include "cli/run_lock.h"
#include "common/addin_client.h"
#include "contract/addin_data.h"
#include "store/mail_store.h"

// Where and how a session runs, checked before anything is written.
struct session_settings {
    std::string data_home;    // absolute; the add-in's application-data folder; "" for the user's own
    std::string module_path;  // the add-in module to load
    bool wait = false;        // wait for the lock instead of giving up
    int lock_timeout = -1;    // seconds to wait for the locks before giving up; -1: `wait` decides
    std::string maildir;      // the Maildir the session works on, locked too; "" for none
};

// The lock file in a Maildir's root. A plain file, so no client takes it for a ".Name" folder.
inline constexpr const char* maildir_lock_name = ".tarnwick.lock";
// The session settings of `arguments`. Throws usage_error when --data-dir or the module cannot
// be used.
session_settings read_session_settings(const parsed_arguments& arguments);

// The data folder a session would use (the add-in's folder below `data_home`, else below
// $XDG_DATA_HOME or ~/.local/share), found without making any folder; empty when there is none.
std::string data_directory_of(const std::string& data_home);

// The absolute path of the Maildir `path`. Throws usage_error when it is missing or not a
// readable Maildir (it needs new/ and cur/).
std::string require_maildir(const std::string& path);
// ~/Maildir, with its new/, cur/ and tmp/ made when missing. Throws usage_error without HOME
// or when it cannot be made.
std::string default_maildir(const std::string& command);
// The same for the value of --maildir, the error naming the line of the settings file that gave it;
// without one, default_maildir.
std::string require_maildir(const parsed_arguments& arguments, const std::string& command);
// The folder name of a --sent-folder or --junk-folder value (a leading '.', as a Maildir++
// directory is named, dropped); "" when it is not a valid folder name of `store`.
std::string folder_option_name(std::string_view value, const mail_store& store);
// The junk folder that --junk-folder (or the settings file) names, else the store's. When the
// folder named is not a folder of `store`: "" with `warning` saying so, or without `warning` a
// usage_error.
std::string junk_folder_setting(const parsed_arguments& arguments, mail_store& store, std::string* warning = nullptr);

// A running session: the data directory exists, the locks are held and the add-in is loaded.
struct session {
    std::string data_directory;  // ends without "/"
    std::optional<run_lock> lock;
    std::optional<run_lock> maildir_lock;  // with session_settings::maildir
    std::unique_ptr<addin_client> addin;
    std::shared_ptr<const unwritten_files> unwritten;  // the add-in's record, kept after it is gone

    std::string debug_log() const { return data_directory + "/" + debug_log_file_name; }
    // The files that the add-in said it could not write since it was loaded (addin_client's
    // record), each once, as paths; empty when it named none.
    std::vector<std::string> files_not_written() const;
    // "a, b" of files_not_written(), or `fallback` when it names none.
    std::string files_not_written_text(const std::string& fallback) const;
};
// Opens a session; none on failure, after printing why, with the exit code in `code`.
std::optional<session> open_session(const session_settings& settings, int& code);
// For commands that only read (config show and get, list show): open_session, but while another
// run holds the data folder, a session on a scratch copy of it (kept in `copy`, which must outlive
// the session), so that loading the add-in neither waits nor restarts the running one's debug log.
std::optional<session> open_reading_session(const session_settings& settings, std::optional<scratch_copy>& copy,
                                            int& code);
// The first half of open_session: the data directory made and the locks held (the data folder's,
// then the Maildir's), the add-in not loaded. A lock still held by another process when
// lock_timeout runs out gives exit_locked.
std::optional<session> open_locked_session(const session_settings& settings, int& code);
// The second half: loads the add-in into `opened`. False when it cannot, with `error` saying why.
bool load_session_addin(session& opened, const session_settings& settings, std::string& error);
