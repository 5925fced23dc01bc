// What the user's sent mail tells the filter: the people the user wrote to are friends, and mail
// that one of them sends in answer to a message the user sent to him comes from a friend. Each
// sent message is read once; an index in the data folder remembers which ones were, with their
// message ids and recipients, and the friends whose addition is still owed.
#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "common/mime.h"
#include "store/mail_store.h"

// The addresses a sent message was written to (To, Cc, Bcc), each a whole valid address by the
// add-in's rule, lower case, each once, in field order.
std::vector<std::string> recipients_of(const header_summary& sent);

class sent_mail_index {
public:
    // The index kept in the file `path` for the folder `folder` of `store`, which the file names
    // as `recorded_as` (the real folder's record_name when `store` is a scratch copy of it; ""
    // for the store's own). A missing file, or one made for another folder, gives an empty
    // index: every message is read anew. A file that cannot be understood does too, with
    // `problem` saying so. Messages of a file written before recipients were kept are read
    // again by update() for their recipients only. The store must outlive the index.
    static sent_mail_index load(const std::string& path, mail_store& store, const std::string& folder,
                                std::string& problem, const std::string& recorded_as = "");

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
    // True when `message` answers a message of the sent folder that was written to `address`
    // (To, Cc or Bcc): Message-IDs are public, so naming one proves nothing of anyone else.
    bool answers_user(const header_summary& message, const std::string& address) const;
    // True for the user's own addresses: the senders of the sent mail.
    bool is_own(const std::string& address) const { return own_.count(address) > 0; }

    // Friends whose addition to the authorized list failed, to be tried again by the next pass:
    // `owe` records one, `settle` forgets one, `owed` lists them.
    void owe(const std::string& address);
    void settle(const std::string& address);
    const std::set<std::string>& owed() const { return owed_; }

    // Writes the index to `path` atomically when it changed since it was loaded or last saved.
    // False when the write failed; the old file then stays.
    bool save(const std::string& path);

private:
    struct sent_message {
        std::string id;  // "" for none
        std::vector<std::string> recipients;
        bool recipients_known = true;  // false: read by a program that did not keep them
    };
    // Makes ids_ again from messages_.
    void index_ids();

    explicit sent_mail_index(mail_store& store) : store_(&store) {}

    mail_store* store_;
    std::string folder_;
    std::string recorded_dir_;                      // the folder as the file names it
    std::map<std::string, sent_message> messages_;  // by the message's id
    // Each Message-ID of messages_ to the recipients of the messages that have it (copies may share one).
    std::map<std::string, std::set<std::string>> ids_;
    std::set<std::string> own_;
    std::set<std::string> owed_;
    bool changed_ = false;
};

// The index file's name in the data folder.
inline constexpr const char* sent_index_file_name = "tarnwick-sent.idx";
