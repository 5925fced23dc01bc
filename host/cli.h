// What the commands of `tarnwick` share: exit codes, argument reading, the checks made before
// anything is written, and the session (data directory, lock, loaded add-in) they run in.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "contract/addin_data.h"
#include "host/addin_client.h"
#include "host/run_lock.h"

enum exit_code : int {
    exit_ok = 0,
    exit_failure = 1,  // the work itself failed
    exit_usage = 2,    // a wrong argument: nothing was written
    exit_locked = 75,  // another run holds the data directory (EX_TEMPFAIL)
};

// A wrong argument. Thrown before anything is written; main prints it and exits with
// exit_usage.
struct usage_error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A command line split into options and the rest.
struct parsed_arguments {
    std::map<std::string, std::string> options;  // "--name" to its value ("" for a switch)
    std::vector<std::string> positional;

    bool has(const std::string& option) const { return options.count(option) > 0; }
    // The option's value, or `fallback` when it was not given.
    std::string value(const std::string& option, const std::string& fallback = "") const;
};

// Reads `args`: "--name VALUE" or "--name=VALUE" for the options in `with_value`, "--name" for
// those in `switches`, "--" ends the options; anything else, "-1" included, is positional. Throws usage_error for an
// unknown option, a missing value, or an option given twice.
parsed_arguments parse_arguments(const std::vector<std::string>& args, const std::set<std::string>& with_value,
                                 const std::set<std::string>& switches);

// The options every command that loads the add-in takes.
inline const std::set<std::string> session_options = {"--data-dir", "--module"};
inline const std::set<std::string> session_switches = {"--wait"};

// Where and how a session runs, checked before anything is written.
struct session_settings {
    std::string data_home;    // absolute; becomes XDG_DATA_HOME for the add-in; "" for the user's own
    std::string module_path;  // the add-in module to load
    bool wait = false;        // wait for the lock instead of giving up
    std::string maildir;      // the Maildir the session works on, locked too; "" for none
};

// The lock file in a Maildir's root. A plain file, so no client takes it for a ".Name" folder.
inline constexpr const char* maildir_lock_name = ".tarnwick.lock";
// The session settings of `arguments`. Throws usage_error when --data-dir or the module cannot
// be used.
session_settings read_session_settings(const parsed_arguments& arguments);

// The absolute path of the Maildir `path`. Throws usage_error when it is missing or not a
// readable Maildir (it needs new/ and cur/).
std::string require_maildir(const std::string& path);

// A running session: the data directory exists, the locks are held and the add-in is loaded.
struct session {
    std::string data_directory;  // ends without "/"
    std::optional<run_lock> lock;
    std::optional<run_lock> maildir_lock;  // with session_settings::maildir
    std::unique_ptr<addin_client> addin;

    std::string debug_log() const { return data_directory + "/" + debug_log_file_name; }
    // The files that the add-in said in its debug log it could not write ("FAIL: ... unable to
    // write FILE"), each once, as paths; empty when it named none.
    std::vector<std::string> files_not_written() const;
    // "a, b" of files_not_written(), or `fallback` when it names none.
    std::string files_not_written_text(const std::string& fallback) const;
};
// Opens a session; none on failure, after printing why, with the exit code in `code`.
std::optional<session> open_session(const session_settings& settings, int& code);

// The commands. Each returns its exit code; usage_error leaves them.
int cmd_run(const std::vector<std::string>& args, bool watch);
int cmd_config(const std::vector<std::string>& args);
int cmd_list(const std::vector<std::string>& args);
int cmd_stats(const std::vector<std::string>& args);
