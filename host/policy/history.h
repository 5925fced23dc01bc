// The history of runs: `history.tsv` in the data folder, one line per run, read by `tarnwick stats`.
//
// A line is the run's end as ISO 8601 UTC ("2026-12-08T05:56:20Z"), then tab-separated fields
// "name=count". A name is percent-encoded (every byte but letters, digits, '-', '_' and '.'), so
// that a withheld challenge's reason ("withheld.not%20authenticated%3A%20spf%3Dfail") cannot
// break the line. Names a reader does not know are kept and ignored.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <vector>

struct mailer_activity;

inline constexpr const char* history_file_name = "history.tsv";

// The names of the counts a run records.
namespace history_field {
inline constexpr const char* filtered = "filtered";          // messages handed to the filter
inline constexpr const char* kept = "kept";                  // left in the inbox
inline constexpr const char* pending = "pending";            // moved to the pending folder
inline constexpr const char* deleted = "deleted";            // moved to Trash by the filter
inline constexpr const char* expired = "expired";            // pending mail past its time, moved to Trash
inline constexpr const char* released = "released";          // moved back to the inbox
inline constexpr const char* sent = "sent";                  // challenges sent or stored
inline constexpr const char* failed = "failed";              // challenges that could not be sent
inline constexpr const char* withheld = "withheld";          // challenges withheld, all reasons
inline constexpr const char* withheld_prefix = "withheld.";  // then the reason: one count each
}  // namespace history_field

// One run's line.
struct history_entry {
    std::string time;                    // "YYYY-MM-DDTHH:MM:SSZ"
    std::map<std::string, long> counts;  // decoded names
};

// The current time as history_entry::time wants it.
std::string history_time_now();

// The line of `entry`, with its newline.
std::string format_history_line(const history_entry& entry);
// The entry of one line (without its newline); none when it does not parse.
std::optional<history_entry> parse_history_line(const std::string& line);

// The entries of a history file's text, and its lines that did not parse.
struct history_content {
    std::vector<history_entry> entries;
    std::vector<std::string> bad_lines;
};
history_content parse_history(const std::string& text);

// Adds `entry` to the history file `path`: appended, and flushed to disk. A file that ends in a
// cut line, or has grown past its bound, is rewritten atomically instead: its oldest lines
// dropped down to half the bound, and, when it has lines that do not parse, first renamed to
// "<path>.corrupt-<time>" (never removed, `set_aside` names it) with the lines that parse kept.
// False when the entry could not be saved, with why in `error`; the file is then as it was, or
// set aside whole, or ends in a line cut short (read as a bad line).
bool append_history(const std::string& path, const history_entry& entry, std::string& error, std::string& set_aside);

// The entry of a run that ends now: `filtered` messages handed to the filter, `kept` of them left
// in the inbox, the rest as `activity` counted them, with `pending` the pending folder's name.
history_entry history_entry_of(const mailer_activity& activity, int filtered, int kept, const std::string& pending);
// Adds `entry` to the history of the data folder; says on standard error what was set aside, and
// what was not saved. False when it was not saved.
bool record_history(const std::string& data_directory, const history_entry& entry);
