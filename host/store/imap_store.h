// The mail store over an IMAP account, through an imap_connection. Folders keep the seam's names
// ("" is INBOX, levels joined by '.') and become the server's (its delimiter between levels). A
// message's id is "<UIDVALIDITY>.<UID>" of its folder: valid while it stays there, and a handle
// takes the new one when it moves. Arrivals are the unseen mail of INBOX, oldest (UID) first.
//
// Nothing is lost: a message leaves a folder only by imap_connection::move. Where that is a COPY
// and an EXPUNGE, the move is written down first, and the next store opened finishes it. A dry run
// changes nothing on the server nor in the state folder: what it moves, marks, stores or makes is
// kept here, so that the rest of the run sees it done. A dropped connection fails what was under
// way and everything after it (broken()); nothing throws.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "store/imap_connection.h"
#include "store/imap_state.h"
#include "store/mail_store.h"

struct imap_store_options {
    std::string account;                           // as the user knows it, for what the host tells
    bool dry_run = false;                          // change nothing; remember what would change
    std::uint64_t whole_message_limit = 64 << 20;  // larger arrivals: only their header is read
};

class imap_store final : public mail_store, public std::enable_shared_from_this<imap_store> {
public:
    // The store over `connection`, its records in `state_directory`. Finishes the moves a dropped
    // connection cut off, and finds the inbox's mail again when the server numbered it anew.
    static std::shared_ptr<imap_store> open(std::unique_ptr<imap_connection> connection, std::string state_directory,
                                            imap_store_options options);

    const std::string& account() const override { return options_.account; }
    std::string place_of(const std::string& folder) const override;
    const std::vector<std::string>& folders() override;
    std::vector<std::string> children(const std::string& folder) override;
    bool valid_folder_name(std::string_view name) const override { return server_name(name).has_value(); }
    store_result create_folder(const std::string& folder) override;
    std::vector<message_ref> messages(const std::string& folder) override;
    size_t message_count(const std::string& folder) override;
    bool holds(const std::string& folder, const std::string& id) override;
    std::vector<inbox_entry> inbox() override;
    std::string id_of_arrival(const std::string& name) const override { return name; }
    message_ref open_arrival(const std::string& name, int* read_error) override;
    std::vector<std::string> take_moved_into_inbox() override { return std::exchange(moved_into_inbox_, {}); }
    std::string new_id() override;
    bool store(const std::string& folder, const std::string& id, std::string_view bytes, std::string& error) override;
    std::string stored_id(const std::string& id) const override {
        auto found = stored_.find(id);
        return found == stored_.end() ? "" : found->second;
    }
    std::vector<std::string> remove_leftovers() override { return failures_; }
    std::vector<listed_message> list(const std::string& folder) override;
    bool has_folder(const std::string& folder) override;
    std::string special_folder(special_use use) override;
    std::optional<std::string> header_block(const std::string& folder, const std::string& id,
                                            std::size_t limit) override;
    std::optional<message_fingerprint> fingerprint(const std::string& folder, const std::string& id) override;
    store_result settle_appended(const std::string& id) override;
    std::vector<std::pair<std::string, std::string>> renumbered() override { return renumbered_; }
    int forget_renumbered() override;
    int broken() const override { return broken_; }

    // ---- for the store's messages; these throw imap_error

    // A message of a folder as listed.
    struct entry {
        std::string id;
        std::uint64_t size = 0;
        long long date = 0;
        bool seen = false;
    };
    // The message `id` of `folder` as it is now; none when it is gone.
    std::optional<entry> find(const std::string& folder, const std::string& id);
    // Its bytes, to `sink` piece by piece; false when it is gone.
    bool read_body(const std::string& folder, const std::string& id, const std::function<void(std::string_view)>& sink);
    std::optional<std::string> read_header(const std::string& folder, const std::string& id, std::size_t limit);
    store_result set_seen(const std::string& folder, const std::string& id, bool seen);
    // Moves message `id` of `from` into `to` (made when missing); its id there in `moved_id`.
    store_result move(const std::string& from, const std::string& id, const std::string& to, std::string& moved_id);
    // What a failure of the connection comes to, noted as broken() when the connection is gone.
    store_result failure(const imap_error& error);
    std::uint64_t whole_message_limit() const { return options_.whole_message_limit; }

private:
    imap_store(std::unique_ptr<imap_connection> connection, std::string state_directory, imap_store_options options);

    // The server's name of `folder`; none when the server cannot hold it.
    std::optional<std::string> server_name(std::string_view folder) const;
    // The seam's name of the server's folder `name`; none when the seam cannot name it.
    std::optional<std::string> seam_name(std::string_view name) const;
    // The server's folders, listed once and then known (and those this store made).
    const std::vector<imap_connection::folder_info>& server_folders(bool fresh = false);
    // The seam's names of the server's folders, asked for again when `fresh`.
    const std::vector<std::string>& folder_names(bool fresh);
    bool on_server(const std::string& name);
    // Selects the server's folder `name` (EXAMINE in a dry run) unless it is selected already.
    const imap_connection::mailbox_state& select(const std::string& name, bool fresh = false);
    // The UID of message `id` of `folder` on the server, that folder selected; none when the id
    // is not of it (another UIDVALIDITY) or the folder is not there.
    std::optional<std::uint32_t> located(const std::string& folder, const std::string& id);
    std::optional<imap_connection::message_info> info_of(std::uint32_t uid, bool deleted_too = false);
    std::vector<entry> listing(const std::string& folder);
    // Makes the server's folder `name` unless it is there.
    void make(const std::string& name);
    // The UID of a message of `size` and `message_id` the selected folder holds from `first` on.
    std::uint32_t find_copy(std::uint32_t first, std::uint64_t size, const std::string& message_id);
    store_result move_on_server(const std::string& from, const std::string& id, const std::string& to,
                                std::string& moved_id);
    void finish_moves();
    void finish_move(const imap_state::move_intent& intent);
    void check_inbox();
    imap_state::inbox_message inbox_message_of(const imap_connection::message_info& info);

    std::unique_ptr<imap_connection> connection_;
    std::string state_directory_;
    imap_store_options options_;
    char delimiter_ = 0;
    int broken_ = 0;
    std::optional<std::vector<imap_connection::folder_info>> server_folders_;
    std::vector<std::string> folders_;
    std::map<std::string, imap_connection::mailbox_state> states_;  // by server name, as last selected
    std::vector<std::string> failures_;
    std::vector<std::string> moved_into_inbox_;
    std::vector<std::pair<std::string, std::string>> renumbered_;
    std::optional<imap_state::inbox_record> renumbered_record_;  // written by forget_renumbered
    std::map<std::string, std::string> stored_;                  // ids of new_id -> on the server
    unsigned long long counter_ = 0;

    // A dry run's changes. A message it moved or stored is a shadow, id "0.<n>" (no server has a
    // UIDVALIDITY of 0), which reads its bytes from where the server keeps them or from memory.
    struct shadow {
        std::string folder;
        entry listed;
        std::string origin_folder, origin_id;  // on the server; "" for stored bytes
        std::string bytes;
    };
    std::vector<shadow> shadows_;
    shadow* shadow_of(const std::string& id);
    std::set<std::string> pretend_made_;                        // server names
    std::set<std::pair<std::string, std::string>> hidden_;      // (folder, id) moved away
    std::map<std::pair<std::string, std::string>, bool> seen_;  // read states set
};

// For the store's own files: the id of `uid` in a folder of UIDVALIDITY `validity`, and the errno
// a failure of the connection is reported with.
std::string imap_id(std::uint32_t validity, std::uint32_t uid);
int errno_of(const imap_error& error);
