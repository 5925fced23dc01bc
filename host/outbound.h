// Handing a finished message to the outside: a sendmail-compatible command.
#pragma once

#include <string>
#include <string_view>

// Runs `command` with /bin/sh -c, the message on its standard input and its standard output
// sent to ours for errors. True when it exits with status 0; otherwise false, with `error`
// saying how it failed.
bool send_with_command(const std::string& command, std::string_view message, std::string& error);
