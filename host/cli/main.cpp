// tarnwick: the Linux host of the Tarnwick add-in. It plays the mail client's part over a
// Maildir: it loads the add-in module, hands it each new message, and offers its settings and
// address lists on the command line.
#include <signal.h>

#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "cli/commands.h"

namespace {

constexpr const char* usage =
    "usage: tarnwick COMMAND [ARGUMENTS]\n"
    "\n"
    "Runs the Tarnwick challenge-response spam filter on a Maildir.\n"
    "\n"
    "  run --maildir DIR      filter every new message of the inbox once, then print a summary\n"
    "  watch --maildir DIR    the same, then keep filtering new arrivals until stopped\n"
    "  deliver [-f SENDER] [-a RECIPIENT] --maildir DIR\n"
    "                         store the message on standard input in the inbox and filter it\n"
    "                         (for procmail, maildrop, Postfix, .forward, Sieve)\n"
    "  config show|get|set    read and change the filter's settings\n"
    "  list show|add|remove|modify LIST ...\n"
    "                         read and change the authorized, remove, ignore and pending lists\n"
    "  stats [--days N]       what the filter did on each of the last days\n"
    "  pending [--json]       what waits in the pending folder, and whether it was challenged\n"
    "  digest                 put a list of the mail newly parked in the pending folder into\n"
    "                         the inbox, saying how to judge it (for a daily cron line)\n"
    "\n"
    "Every command also reads its long options from the settings file\n"
    "$XDG_CONFIG_HOME/tarnwick/config (~/.config/tarnwick/config), one \"name = value\" a line\n"
    "(\"maildir = ~/Maildir\"), or from --config FILE; the command line overrides it.\n"
    "\n"
    "`tarnwick COMMAND --help` tells more. Exit status: 0 done, 1 failed, 2 wrong arguments\n"
    "(nothing was written), 75 another run holds the data folder. `deliver` exits 0 once the\n"
    "message is stored and 75 (EX_TEMPFAIL) when it is not, whatever the reason, so that the\n"
    "mail system keeps the message and tries again.\n";

}  // namespace

int main(int argc, char** argv) {
    // A sendmail command that stops reading must give an error, not end the program.
    ::signal(SIGPIPE, SIG_IGN);
    std::vector<std::string> args(argv + (argc > 1 ? 2 : argc), argv + argc);
    std::string command = argc > 1 ? argv[1] : "";
    try {
        if (command == "run") return cmd_run(args, false);
        if (command == "watch") return cmd_run(args, true);
        if (command == "config") return cmd_config(args);
        if (command == "list") return cmd_list(args);
        if (command == "stats") return cmd_stats(args);
        if (command == "pending") return cmd_pending(args);
        if (command == "digest") return cmd_digest(args);
        if (command == "deliver") return cmd_deliver(args);
        if (command == "help" || command == "--help" || command == "-h") {
            std::cout << usage;
            return exit_ok;
        }
        throw usage_error(command.empty() ? "a command is needed" : "unknown command " + command);
    } catch (const usage_error& error) {
        std::cerr << "tarnwick: " << error.what() << "\n"
                  << (command.empty() || command == "help" ? usage : "") << "(tarnwick --help lists the commands)\n";
        return exit_usage;
    } catch (const std::exception& error) {
        std::cerr << "tarnwick: " << error.what() << "\n";
        return exit_failure;
    }
}
