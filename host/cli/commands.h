// The commands of `tarnwick`, one row each in command_table(): main dispatches through it, and
// both `tarnwick --help` and `tarnwick NAME --help` are told from it. A command returns its exit
// status; usage_error leaves it before anything is written.
#pragma once

#include <string>
#include <vector>

#include "cli/options.h"

// Whether a command takes words besides its options (`config set NAME VALUE`). One that takes
// none refuses the first as an unexpected argument.
enum class extra_words { refused, taken };

// One command. Its options are the rows of option_table() that name it.
struct command_spec {
    const char* name;
    const char* synopsis;  // how `tarnwick --help` shows a call of it: "run --maildir DIR"
    const char* summary;   // what it does, for `tarnwick --help`; a line each, without the last "\n"
    const char* usage;     // what `tarnwick NAME --help` prints
    extra_words takes;
    // Its work, on the arguments read for it by read_command_arguments.
    int (*entry)(const parsed_arguments& arguments) = nullptr;
    // In place of `entry`, for a command that reads its own arguments: its work on the words as given.
    int (*reads_own)(const std::vector<std::string>& args) = nullptr;
};

// Every command, in the order `tarnwick --help` lists them.
const std::vector<command_spec>& command_table();
// The command called `name`, or null.
const command_spec* find_command(const std::string& name);
// What `tarnwick --help` prints: the commands with their synopses and summaries, the settings
// file and the exit statuses.
std::string program_usage();

// Runs `which` on the words after its name: its usage for --help or -h, else its work.
int run_command(const command_spec& which, const std::vector<std::string>& args);
// The arguments of the command `name` (read_arguments), the words it takes checked.
parsed_arguments read_command_arguments(const std::string& name, const std::vector<std::string>& args,
                                        extra_words takes);

// The entries, each in its cmd_NAME.cpp beside its usage.
int cmd_run(const parsed_arguments& arguments);
int cmd_watch(const std::vector<std::string>& args);
int cmd_deliver(const std::vector<std::string>& args);
int cmd_config(const parsed_arguments& arguments);
int cmd_list(const parsed_arguments& arguments);
int cmd_stats(const parsed_arguments& arguments);
int cmd_pending(const parsed_arguments& arguments);
int cmd_digest(const parsed_arguments& arguments);
int cmd_why(const parsed_arguments& arguments);
int cmd_expire(const parsed_arguments& arguments);

extern const char run_usage[];  // `watch` shares it
extern const char deliver_usage[];
extern const char config_usage[];
extern const char list_usage[];
extern const char stats_usage[];
extern const char pending_usage[];
extern const char digest_usage[];
extern const char why_usage[];
extern const char expire_usage[];
