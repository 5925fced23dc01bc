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

#include "cli/run_lock.h"
#include "cli/settings_file.h"
#include "common/addin_client.h"
#include "contract/addin_data.h"

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

// How a long option is given.
enum class option_kind {
    flag,   // "--name", on the command line only
    value,  // "--name VALUE", once
    list,   // "--name VALUE", as often as wanted; each VALUE may hold several items, separated by
            // commas or blanks
};

// One long option of the commands. Every option that takes a value can also be set in the
// settings file, as "name = value": a new option is one row of host_options(), nothing more.
struct option_spec {
    const char* name;  // without the leading "--"
    option_kind kind;
    const char* commands;  // the commands that take it, separated by blanks: "run watch"
    const char* unset;     // what applies when it is not given, as `config show` says it
};

// Every option of every command, in the order `config show` lists them. `--config FILE` (another
// settings file) is not among them: every command takes it, and only on the command line.
const std::vector<option_spec>& host_options();

// A command line, with the settings file merged in, split into options and the rest.
struct parsed_arguments {
    std::map<std::string, std::string> options;             // "--name" to its value ("" for a switch, a list's items
                                                            // joined by ", ")
    std::map<std::string, std::vector<std::string>> lists;  // "--name" of a list option to its items
    std::map<std::string, std::string> from_file;  // "--name" to "FILE:LINE", for values the settings file gave
    std::vector<std::string> positional;
    settings_file settings;  // the settings file read, with the lines this command does not use

    bool has(const std::string& option) const { return options.count(option) > 0; }
    bool on_command_line(const std::string& option) const { return has(option) && !from_file.count(option); }
    // The option's value, or `fallback` when it was not given.
    std::string value(const std::string& option, const std::string& fallback = "") const;
    // The items of a list option (one item for another option given a value); empty when it was not given.
    std::vector<std::string> values(const std::string& option) const;
    // Where the option's value came from, to begin a message: "--name", or "FILE:LINE: name".
    std::string origin(const std::string& option) const;
};

// Reads `args`: "--name VALUE" or "--name=VALUE" for the options in `with_value`, "--name" for
// those in `switches`, "--" ends the options; anything else, "-1" included, is positional. The
// options in `lists` may be repeated. Throws usage_error for an unknown option, a missing value,
// or an option given twice.
parsed_arguments parse_arguments(const std::vector<std::string>& args, const std::set<std::string>& with_value,
                                 const std::set<std::string>& switches, const std::set<std::string>& lists = {});

// The arguments of `command` ("run", "watch", "config", "list") by its rows of host_options(),
// then the settings file (--config FILE, or default_settings_path()) for the options not given on
// the command line. The file is shared by every command: a setting that this command does not
// take is ignored. Throws usage_error for a wrong argument, a settings file that cannot be read
// (or, named by --config, does not exist), or a line of it that is not understood: an unknown
// name, a switch, or what read_settings_file refuses.
parsed_arguments read_arguments(const std::string& command, const std::vector<std::string>& args);

// True when `args` holds --help or -h: the command then prints its usage and does nothing else.
bool asks_for_help(const std::vector<std::string>& args);

// One option as `config show` tells it.
struct host_setting {
    std::string name;    // without "--"
    std::string value;   // "" when not set
    std::string source;  // "command line", "FILE:LINE" or "default"
    std::string unset;   // what applies when it is not set
};
// Every option of host_options() that takes a value: from `arguments`, else from its settings
// file, else unset.
std::vector<host_setting> host_settings(const parsed_arguments& arguments);

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

// The absolute path of the Maildir `path`. Throws usage_error when it is missing or not a
// readable Maildir (it needs new/ and cur/).
std::string require_maildir(const std::string& path);
// The same for the value of --maildir, the error naming the line of the settings file that gave it;
// `command` needs one, so a missing --maildir is a usage error too.
std::string require_maildir(const parsed_arguments& arguments, const std::string& command);
// The junk folder that --junk-folder (or the settings file) names, else find_junk_folder. Throws
// usage_error when the folder named is not a folder of `root`.
std::string junk_folder_setting(const parsed_arguments& arguments, const std::string& root);

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
// The first half of open_session: the data directory made and the locks held (the data folder's,
// then the Maildir's), the add-in not loaded. A lock still held by another process when
// lock_timeout runs out gives exit_locked.
std::optional<session> open_locked_session(const session_settings& settings, int& code);
// The second half: loads the add-in into `opened`. False when it cannot, with `error` saying why.
bool load_session_addin(session& opened, const session_settings& settings, std::string& error);

// The commands. Each returns its exit code; usage_error leaves them.
int cmd_run(const std::vector<std::string>& args, bool watch);
int cmd_config(const std::vector<std::string>& args);
int cmd_list(const std::vector<std::string>& args);
int cmd_stats(const std::vector<std::string>& args);
int cmd_pending(const std::vector<std::string>& args);
int cmd_digest(const std::vector<std::string>& args);
int cmd_deliver(const std::vector<std::string>& args);
