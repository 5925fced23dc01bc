// What the user's sent mail tells the filter: the people the user wrote to are friends, and mail
// that answers a message the user sent comes from a friend. Each sent message is read once; an
// index in the data folder remembers which ones were, with their message ids.
#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "host/mime.h"

// The default sent folder of the Maildir `root`: the first of "Sent", "Sent Messages" and
// "Sent Items" (Maildir++ names) that is a Maildir; "" when none is.
std::string find_sent_folder(const std::string& root);
// The Maildir++ name of a --sent-folder value (a leading '.' dropped); "" when it is not a valid
// folder name.
std::string sent_folder_name(std::string_view value);

// The addresses a sent message was written to (To, Cc, Bcc), each a whole valid address by the
// add-in's rule, lower case, each once, in field order.
std::vector<std::string> recipients_of(const header_summary& sent);
// The message ids <...> named in `raw` (a Message-ID, In-Reply-To or References value), in order.
std::vector<std::string> message_ids_named(std::string_view raw);

class sent_mail_index {
public:
    // The index kept in the file `path` for the folder directory `folder_dir`. A missing file, or
    // one made for another folder, gives an empty index: every message is read anew. A file that
    // cannot be understood does too, with `problem` saying so.
    static sent_mail_index load(const std::string& path, const std::string& folder_dir, std::string& problem);

    // What reading the messages of the folder not read before found.
    struct news {
        size_t messages_read = 0;
        std::vector<std::string> recipients;  // new friends: valid, never the user's own, each once
    };
    // Reads the folder's messages that the index does not hold yet, and forgets those that left
    // the folder. Never fails: a message that cannot be read is left for the next time.
    news update();

    // True when `message` answers a message of the sent folder: its In-Reply-To or References
    // names the Message-ID of one.
    bool answers_user(const header_summary& message) const;
    // True for the user's own addresses: the senders of the sent mail.
    bool is_own(const std::string& address) const { return own_.count(address) > 0; }

    // Writes the index to `path` atomically when it changed since it was loaded or last saved.
    // False when the write failed; the old file then stays.
    bool save(const std::string& path);

private:
    std::string folder_dir_;
    std::map<std::string, std::string> messages_;  // unique part of a file name to its Message-ID ("" none)
    std::set<std::string> ids_;                    // the Message-IDs of messages_
    std::set<std::string> own_;
    bool changed_ = false;
};

// The index file's name in the data folder.
inline constexpr const char* sent_index_file_name = "tarnwick-sent.idx";
