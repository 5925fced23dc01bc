// The password of a mail account, from a command the user names (such as "pass show mail"), so that
// it is never kept in the settings file nor shown on a command line.
#pragma once

#include <chrono>
#include <optional>
#include <string>

// Runs `command` with /bin/sh -c, in a process group of its own, standard input and error those of
// the program, and returns the first line of its standard output without the line end ("\n" or
// "\r\n"). None, with `error` naming the command (never what it printed), when it cannot be
// started, exits non-zero or by a signal, gives an empty first line, or runs longer than `timeout`
// (its process group is then killed).
std::optional<std::string> run_password_command(const std::string& command, std::string& error,
                                                std::chrono::milliseconds timeout = std::chrono::seconds(60));
