#include "cli/commands.h"

#include <iostream>
#include <string_view>

namespace {

// Where the summaries of `tarnwick --help` start, and how far a synopsis may reach to share a
// line with its summary.
constexpr size_t summary_column = 25;

constexpr const char* usage_head =
    "usage: tarnwick COMMAND [ARGUMENTS]\n"
    "\n"
    "Runs the Tarnwick challenge-response spam filter on a Maildir.\n"
    "\n";

constexpr const char* usage_tail =
    "\n"
    "Every command also reads its long options from the settings file\n"
    "$XDG_CONFIG_HOME/tarnwick/config (~/.config/tarnwick/config), one \"name = value\" a line\n"
    "(\"maildir = ~/Maildir\"), or from --config FILE; the command line overrides it.\n"
    "\n"
    "`tarnwick COMMAND --help` tells more. Exit status: 0 done, 1 failed, 2 wrong arguments\n"
    "(nothing was written), 75 another run holds the data folder. `deliver` exits 0 once the\n"
    "message is stored and 75 (EX_TEMPFAIL) when it is not, whatever the reason, so that the\n"
    "mail system keeps the message and tries again.\n";

constexpr const char* version_usage =
    "usage: tarnwick --version\n"
    "\n"
    "Prints the program's name and version on one line: \"tarnwick " TARNWICK_VERSION "\".\n";

// Reads its own: the version is told even where the settings file cannot be read.
int cmd_version(const std::vector<std::string>& args) {
    if (!args.empty()) throw usage_error("unexpected argument " + args.front());
    std::cout << "tarnwick " TARNWICK_VERSION "\n";
    return exit_ok;
}

}  // namespace

const std::vector<command_spec>& command_table() {
    static const std::vector<command_spec> table = {
        {.name = "run",
         .synopsis = "run --maildir DIR",
         .summary = "filter every new message of the inbox once, then print a summary",
         .usage = run_usage,
         .takes = extra_words::refused,
         .entry = cmd_run},
        // Reads its own: --dry-run, an option of run, is refused as such before anything else.
        {.name = "watch",
         .synopsis = "watch --maildir DIR",
         .summary = "the same, then keep filtering new arrivals until stopped",
         .usage = run_usage,
         .takes = extra_words::refused,
         .reads_own = cmd_watch},
        // Reads its own: the envelope options come first, and a mail system must get 75 for any
        // failure before the message is stored.
        {.name = "deliver",
         .synopsis = "deliver [-f SENDER] [-a RECIPIENT] --maildir DIR",
         .summary = "store the message on standard input in the inbox and filter it\n"
                    "(for procmail, maildrop, Postfix, .forward, Sieve)",
         .usage = deliver_usage,
         .takes = extra_words::refused,
         .reads_own = cmd_deliver},
        {.name = "config",
         .synopsis = "config show|get|set",
         .summary = "read and change the filter's settings",
         .usage = config_usage,
         .takes = extra_words::taken,
         .entry = cmd_config},
        {.name = "list",
         .synopsis = "list show|add|remove|modify LIST ...",
         .summary = "read and change the authorized, remove, ignore and pending lists",
         .usage = list_usage,
         .takes = extra_words::taken,
         .entry = cmd_list},
        {.name = "stats",
         .synopsis = "stats [--days N]",
         .summary = "what the filter did on each of the last days",
         .usage = stats_usage,
         .takes = extra_words::refused,
         .entry = cmd_stats},
        {.name = "pending",
         .synopsis = "pending [approve|reject ID...]",
         .summary = "what waits in the pending folder, and whether it was challenged;\n"
                    "approve or reject the senders of messages of it",
         .usage = pending_usage,
         .takes = extra_words::taken,
         .entry = cmd_pending},
        {.name = "digest",
         .synopsis = "digest",
         .summary = "put a list of the mail newly parked in the pending folder into\n"
                    "the inbox, saying how to judge it (for a daily cron line)",
         .usage = digest_usage,
         .takes = extra_words::refused,
         .entry = cmd_digest},
        {.name = "why",
         .synopsis = "why SENDER|MESSAGE-ID",
         .summary = "what the filter did with a sender's or a message's mail, and why",
         .usage = why_usage,
         .takes = extra_words::taken,
         .entry = cmd_why},
        {.name = "expire",
         .synopsis = "expire --maildir DIR",
         .summary = "move the pending mail past its time to Trash, and nothing else\n"
                    "(run, deliver and watch do it too; for a cron line)",
         .usage = expire_usage,
         .takes = extra_words::refused,
         .entry = cmd_expire},
        {.name = "--version",
         .synopsis = "--version",
         .summary = "print the version",
         .usage = version_usage,
         .takes = extra_words::refused,
         .reads_own = cmd_version},
    };
    return table;
}

const command_spec* find_command(const std::string& name) {
    for (const command_spec& row : command_table()) {
        if (name == row.name) return &row;
    }
    return nullptr;
}

std::string program_usage() {
    std::string text = usage_head;
    const std::string indent(summary_column, ' ');
    for (const command_spec& row : command_table()) {
        std::string line = std::string("  ") + row.synopsis;
        // A synopsis too long to leave two blanks before the summary has a line of its own.
        if (line.size() + 2 > summary_column) text += line + "\n" + indent;
        else text += line + std::string(summary_column - line.size(), ' ');
        for (char c : std::string_view(row.summary)) text += c == '\n' ? "\n" + indent : std::string(1, c);
        text += "\n";
    }
    return text + usage_tail;
}

parsed_arguments read_command_arguments(const std::string& name, const std::vector<std::string>& args,
                                        extra_words takes) {
    parsed_arguments arguments = read_arguments(name, args);
    if (takes == extra_words::refused && !arguments.positional.empty())
        throw usage_error("unexpected argument " + arguments.positional.front());
    return arguments;
}

int run_command(const command_spec& which, const std::vector<std::string>& args) {
    if (asks_for_help(args)) {
        std::cout << which.usage;
        return exit_ok;
    }
    if (which.reads_own) return which.reads_own(args);
    return which.entry(read_command_arguments(which.name, args, which.takes));
}
