// The local time as text, for the debug log's time stamps.
#pragma once

#include <ctime>
#include <optional>
#include <string>

// `time` as the C library's ctime writes it ("Tue Dec  8 11:03:35 2026\n", local time); none
// when the time has no such text. On POSIX systems it does not read the time zone file again at
// each call, as ctime does (a stamp is written at every message).
std::optional<std::string> ctime_text(std::time_t time);
