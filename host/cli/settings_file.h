// The host's settings file: "name = value" lines that stand for the long options of the commands,
// so that cron, systemd and a shell share one configuration.
#pragma once

#include <optional>
#include <string>
#include <vector>

// One "name = value" line, both sides trimmed.
struct settings_line {
    std::string name;
    std::string value;
    int number = 0;  // counted from 1
};

// A settings file as read: its lines in order, each name once.
struct settings_file {
    std::string shown;  // the path as messages name it ("~/" for the home folder); "" when there is none
    bool found = false;
    std::vector<settings_line> lines;

    // "FILE:LINE" of line `number`, for messages.
    std::string where(int number) const { return shown + ":" + std::to_string(number); }
    // The line that sets `name`, or null.
    const settings_line* find(const std::string& name) const;
};

// $XDG_CONFIG_HOME/tarnwick/config, else $HOME/.config/tarnwick/config; "" when neither is set.
std::string default_settings_path();

// Reads the file at `path`. A file that does not exist yields no lines, unless `must_exist`.
// Blank lines and lines starting with '#' are skipped; a value starting with "~/" has it replaced
// by the home folder. Throws usage_error, naming the file and the line, for a file that cannot
// be read, a line without '=', an empty name or value, a control character, or a name given twice.
settings_file read_settings_file(const std::string& path, bool must_exist);
