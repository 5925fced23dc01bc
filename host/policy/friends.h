// The user's friends, told to the add-in before new mail is filtered: the people the user wrote
// to, and whoever of them answers the mail the user sent him, go on the authorized list through
// AddToList, as the list dialog puts them there. Never the user's own addresses, and never over the user's verdict:
// an address on the remove or ignore list stays there.
#pragma once

#include <optional>
#include <set>
#include <string>
#include <vector>

#include "common/addin_client.h"
#include "common/mime.h"
#include "policy/sent_mail.h"

// The entries of the add-in's list `number`, read as the list dialog reads them; none when that
// fails.
std::optional<std::vector<std::string>> list_entries(addin_client& addin, LONG number);

class friend_finder {
public:
    // For a run of `addin` over `store` whose sent folder is `sent_folder` ("" when there is
    // none), its index kept in the data folder `data_directory`. `recorded_sent`: the sent
    // folder as the data folder's files name it when `store` is a scratch copy of the real one
    // (the real store's record_name; "" for the store's own). A reply authorizes its sender only
    // when the server of one of `trusted_authserv` authenticated him, when that list is not
    // empty. `addin` and `store` must outlive this object.
    friend_finder(addin_client& addin, const std::string& data_directory, mail_store& store, std::string sent_folder,
                  std::string recorded_sent = "", std::vector<std::string> trusted_authserv = {});

    // Authorizes the friends a failed write left owed, then reads the sent mail not read
    // before and authorizes its recipients; a friend that cannot be added is owed in the index,
    // to be tried again by the next pass. May be called again, by a run that goes on.
    void learn_from_sent_mail();
    // Authorizes the sender of `message` when the message answers one the user sent to him (and
    // passes the authentication gate when there is one). False when he is owed that but could
    // not be added: the message must then wait, unfiltered, for the next pass.
    bool before_filtering(const header_summary& message);
    // Saves the friends that filtering left owed. Call once the pass has filtered its mail.
    void finish();

    // The sent folder; "" when there is none.
    const std::string& sent_folder() const { return sent_folder_; }
    int added() const { return added_; }
    size_t sent_read() const { return sent_read_; }
    // True when a list or the index could not be written.
    bool failed() const { return failed_; }
    const std::vector<std::string>& notes() const { return notes_; }

private:
    // Puts `address` on the authorized list unless it is there already or the user's verdict
    // is on it. False when the lists could not be read or the add-in did not take it; then
    // `refused` tells whether the add-in will never take it (not an address it keeps).
    bool authorize(const std::string& address, bool* refused = nullptr);
    bool read_lists();
    void note_once(const std::string& note);
    // Saves the index when it changed; a failure is noted.
    void save_index();

    addin_client& addin_;
    std::string index_path_;
    mail_store& store_;
    std::string sent_folder_;
    std::string recorded_sent_;
    std::vector<std::string> trusted_authserv_;
    std::optional<sent_mail_index> index_;
    std::optional<std::set<std::string>> authorized_;
    std::set<std::string> refused_;  // on the remove or ignore list
    int added_ = 0;
    size_t sent_read_ = 0;
    bool failed_ = false;
    std::vector<std::string> notes_;
};
