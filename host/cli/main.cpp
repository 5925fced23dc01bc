// tarnwick: the Linux host of the Tarnwick add-in. It plays the mail client's part over a
// Maildir: it loads the add-in module, hands it each new message, and offers its settings and
// address lists on the command line.
#include <signal.h>

#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "cli/commands.h"

int main(int argc, char** argv) {
    // A sendmail command that stops reading must give an error, not end the program.
    ::signal(SIGPIPE, SIG_IGN);
    std::vector<std::string> args(argv + (argc > 1 ? 2 : argc), argv + argc);
    std::string name = argc > 1 ? argv[1] : "";
    try {
        if (const command_spec* found = find_command(name)) return run_command(*found, args);
        if (name == "help" || name == "--help" || name == "-h") {
            std::cout << program_usage();
            return exit_ok;
        }
        throw usage_error(name.empty() ? "a command is needed" : "unknown command " + name);
    } catch (const usage_error& error) {
        std::cerr << "tarnwick: " << error.what() << "\n"
                  << (name.empty() || name == "help" ? program_usage() : "")
                  << "(tarnwick --help lists the commands)\n";
        return exit_usage;
    } catch (const std::exception& error) {
        std::cerr << "tarnwick: " << error.what() << "\n";
        return exit_failure;
    }
}
