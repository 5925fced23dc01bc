// The decision log: `decisions.log` in the data folder, one line for each message the filter
// judged and each verdict the user gave by moving mail, so that `tarnwick why` can tell a sender's
// or a message's story.
//
// A line is tab-separated: the time as ISO 8601 UTC, the message's unique name in the Maildir,
// its Message-ID, its sender, its subject, what was done, why, and what became of its challenge.
// Every field is made fit for one line (no control characters, valid UTF-8, bounded), "-" when
// empty. Lines are only ever appended, and not flushed one by one: a crash may lose the last few,
// never the file. When the file has grown past its bound it is renamed to "decisions.log.1"
// (replacing the one before) and a new one begun, so the log keeps between one and two bounds.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/append_file.h"

inline constexpr const char* decision_log_name = "decisions.log";
inline constexpr std::uint64_t decision_log_bound = std::uint64_t{1} << 20;

// What was done with a message, as the log writes it.
namespace decision_action {
inline constexpr const char* kept = "kept";              // left in the inbox
inline constexpr const char* parked = "parked";          // moved to the pending folder
inline constexpr const char* deleted = "deleted";        // moved to Trash
inline constexpr const char* moved = "moved";            // moved to another folder (the reason names it)
inline constexpr const char* left_new = "left";          // not judged this time: stays new, tried again
inline constexpr const char* released = "released";      // moved from the pending folder to the inbox
inline constexpr const char* authorized = "authorized";  // the user moved it to the inbox: sender authorized
inline constexpr const char* junk = "junk";              // the user moved it to the junk folder: remove list
}  // namespace decision_action

struct decision {
    std::string time;        // "YYYY-MM-DDTHH:MM:SSZ"
    std::string unique;      // the unique part of the message's file name
    std::string message_id;  // as written, with its <>
    std::string sender;      // the address
    std::string subject;     // decoded
    std::string action;      // one of decision_action
    std::string reason;      // why, as a person reads it
    std::string challenge;   // "sent to ADDRESS", "withheld: REASON", "failed", "none"

    bool operator==(const decision&) const = default;
};

// The line of `entry`, each field made safe, with its newline.
std::string format_decision(const decision& entry);
// The entry of one line (without its newline); none when it is not one.
std::optional<decision> parse_decision(std::string_view line);

// The current time as decision::time wants it.
std::string decision_time_now();

// True when `entry` is about `query`: a sender's address (any letter case) or a Message-ID, with or
// without its <>.
bool decision_matches(const decision& entry, std::string_view query);

// The log of one data folder, opened when first written to.
class decision_log {
public:
    // The log at `data_directory`/decisions.log; `bound` for tests.
    explicit decision_log(std::string data_directory, std::uint64_t bound = decision_log_bound);
    decision_log(const decision_log&) = delete;
    decision_log& operator=(const decision_log&) = delete;

    // Appends the line of `entry`, rotating the file first when it would pass the bound. False
    // when it could not be written; problem() then says why (a failure is said once).
    bool write(const decision& entry);

    bool failed() const { return !problem_.empty(); }
    const std::string& problem() const { return problem_; }
    const std::string& path() const { return path_; }

private:
    void fail(const std::string& what, int error);

    std::string path_;
    std::uint64_t bound_;
    appending_file file_;
    std::string problem_;
};

// The entries of the log in `data_directory` (its rotation, then the log), oldest first; lines
// that cannot be read are left out. `error` names a file that exists but cannot be read.
std::vector<decision> read_decisions(const std::string& data_directory, std::string& error);
