// What the program knows of the mail waiting in the pending folder: one entry a message, kept in
// the data folder, so that a message the user moves out of that folder (which a server gives a
// new id, and a client may copy or append anew) can be recognised by its bytes, and so that
// `pending` and `digest` can say whether its sender was challenged. Every value comes from
// outside and is escaped and bounded before it is stored.
#pragma once

#include <ctime>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/mime.h"
#include "store/mail_store.h"
#include "store/message_fingerprint.h"

// The index file in the data folder.
inline constexpr const char* pending_index_file_name = "pending-index.tsv";

struct pending_entry {
    std::string unique;     // the message's id in the pending folder (a Maildir's unique name)
    long long parked = 0;   // when it reached the pending folder, seconds since 1970
    long long arrived = 0;  // its arrival time when it was seen there
    std::string message_id;
    std::string sender;     // the address, lower case
    std::string subject;    // decoded
    std::string date;       // the Date field as written
    std::string challenge;  // "sent:ADDRESS", "withheld:KIND", "failed", "none", "none:WHY" or "unknown"
    // Unknown for an entry of an index written before bytes were recorded, until the next pass
    // reads the message while it is still in the pending folder; such an entry yields no verdict.
    message_fingerprint bytes;
};

// An entry for a message of the pending folder from its header fields, with each value bounded.
pending_entry entry_of(const header_summary& headers, std::string unique, long long parked, long long arrived,
                       std::string challenge);

// True when `a` and `b` seem to describe the same message under different ids: the same
// Message-ID and sender, or, for mail without a Message-ID, the same sender, Date and subject.
// Good enough to show or carry over what is known of a message renamed inside the pending
// folder; never enough for a verdict, which needs the same bytes.
bool same_message(const pending_entry& a, const pending_entry& b);

// The file's text, and back. A line that cannot be read is counted in `bad_lines` and left out. A
// line of an older index, without the fields of the bytes, is read with them unknown.
std::string format_pending_index(const std::map<std::string, pending_entry>& entries);
std::map<std::string, pending_entry> parse_pending_index(std::string_view text, int& bad_lines);

// The index of the data folder, by id; empty when there is none. `problem` says what
// was wrong with a file that could not be read or had lines that could not be.
std::map<std::string, pending_entry> load_pending_index(const std::string& data_directory, std::string& problem);
// Replaces the index atomically. False, with `error`, when it could not be written.
bool save_pending_index(const std::string& data_directory, const std::map<std::string, pending_entry>& entries,
                        std::string& error);

// `text` made fit to show on one line, in a terminal or a digest: control characters become
// blanks, invisible formatting characters (bidirectional marks and overrides, zero-width ones,
// line and paragraph separators) are written by name as "<U+202E>", bytes that are not UTF-8
// become U+FFFD, and past `limit` bytes it is cut (at a character) and ends in "...". Every
// outside text a command prints goes through it.
std::string shown_text(std::string_view text, size_t limit = 200);

// The challenge of an entry as a person reads it: "sent to a@b", "withheld (automatic mail)",
// "failed", "none", why none was sent ("mail to oneself"), "unknown".
std::string challenge_text(const std::string& challenge);

// A message of the pending folder as `pending` and `digest` show it.
struct waiting_message {
    pending_entry entry;
    mail_store::listed_message message;
};
// The messages of the pending folder `folder` of `store`, newest first, each with its entry of
// `index` (found by its id, or by Message-ID and sender when a server gave it a new one), else
// one made from its header block with the challenge "unknown", parked when it arrived. Reads only;
// none when the folder is missing.
std::vector<waiting_message> waiting_messages(mail_store& store, const std::string& folder,
                                              const std::map<std::string, pending_entry>& index);
