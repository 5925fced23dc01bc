// Handing a finished message to the outside: a sendmail-compatible command.
#pragma once

#include <string>
#include <string_view>

// True when `command` sets the envelope sender itself: one of its words is "-f", starts with "-f"
// (the sender attached) or with "--from".
bool names_envelope_sender(std::string_view command);

// Runs `command` with /bin/sh -c, the message on its standard input and its standard output
// sent to ours for errors. Automatic mail goes with the null envelope sender, so that a message
// to a dead address bounces nowhere: unless the command names a sender itself, it runs as
// `command "$@"` with the arguments -f '<>', the way of mail programs that append their options
// to a sendmail command. True when it exits with status 0; otherwise false, with `error` saying
// how it failed.
bool send_with_command(const std::string& command, std::string_view message, std::string& error);
