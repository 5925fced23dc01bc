// The add-in's own settings (ostrel.cfg in the data folder) read without loading it, for commands
// that must change nothing: loading the add-in starts a new debug log. Read by the contract's
// reader, as the add-in reads them.
#pragma once

#include <map>
#include <optional>
#include <string>

#include "contract/settings_file.h"

// Every "key = value ;" entry of the data folder's settings (the pristine copy when the file
// holds none); empty when neither can be read.
inline std::map<std::string, std::string> read_filter_settings(const std::string& data_directory) {
    return read_settings_file(data_directory);
}

// What the filter does with pending mail, from those settings.
struct pending_settings {
    std::string folder;    // the pending folder's Maildir++ name; "" when none is set
    int expiry_days = -1;  // pending mail older than this goes to Trash; -1: it never expires
};
// Read as the add-in reads them: the expiry is on only for "true", and its days are read by the
// rules of C's atoi (blanks, a sign, the digits up to the first other character).
pending_settings pending_settings_of(const std::map<std::string, std::string>& settings);

// When pending mail whose file time (its arrival, which moves keep) is `arrived` is past its
// time, in seconds since 1970: the expiry moves it to Trash at its first chance after that. None
// when pending mail never expires.
std::optional<long long> expiry_time(const pending_settings& settings, long long arrived);
