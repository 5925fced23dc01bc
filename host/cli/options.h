// The long options of the commands: the table of them, reading a command line with the settings
// file merged in, and telling where each setting came from.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

#include "cli/exit_status.h"
#include "cli/settings_file.h"

// How a long option is given.
enum class option_kind {
    flag,   // "--name", on the command line only
    value,  // "--name VALUE", once
    list,   // "--name VALUE", as often as wanted; each VALUE may hold several items, separated by
            // commas or blanks
};

// One long option of the commands. Every option that takes a value can also be set in the
// settings file, as "name = value": a new option is one row of option_table(), nothing more.
struct option_spec {
    const char* name;  // without the leading "--"
    option_kind kind;
    const char* commands;  // the commands that take it, separated by blanks: "run watch"
    const char* unset;     // what applies when it is not given, as `config show` says it
};

// Every option of every command, in the order `config show` lists them. `--config FILE` (another
// settings file) is not among them: every command takes it, and only on the command line.
const std::vector<option_spec>& option_table();

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

// The arguments of `command` ("run", "watch", "config", "list") by its rows of option_table(),
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
// Every option of option_table() that takes a value: from `arguments`, else from its settings
// file, else unset.
std::vector<host_setting> host_settings(const parsed_arguments& arguments);
