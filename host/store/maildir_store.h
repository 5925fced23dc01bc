// The mail store over a Maildir++ tree: the root Maildir is the inbox, its ".Name" folders are
// its subfolders. A message is a file whose name's unique part is its id; a client that changes
// its flags renames it, and the handle finds it again by that part. Mail leaves new/ for cur/ by
// one rename, never over another file; unread mail in cur/ (moved there by an IMAP server) is
// an arrival as much as mail in new/.
#pragma once

#include <sys/types.h>
#include <time.h>

#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "store/mail_store.h"

class maildir_store final : public mail_store, public std::enable_shared_from_this<maildir_store> {
public:
    // The store over the Maildir `root`.
    static std::shared_ptr<maildir_store> open(std::string root);

    const std::string& account() const override { return root_; }
    std::string place_of(const std::string& folder) const override;
    const std::vector<std::string>& folders() override;
    std::vector<std::string> children(const std::string& folder) override;
    bool valid_folder_name(std::string_view name) const override;
    store_result create_folder(const std::string& folder) override;
    std::vector<message_ref> messages(const std::string& folder) override;
    size_t message_count(const std::string& folder) override;
    bool holds(const std::string& folder, const std::string& id) override;
    std::vector<inbox_entry> inbox() override;
    std::string id_of_arrival(const std::string& name) const override;
    message_ref open_arrival(const std::string& name, int* read_error) override;
    std::string new_id() override;
    bool store(const std::string& folder, const std::string& id, std::string_view bytes, std::string& error) override;
    std::vector<std::string> remove_leftovers() override;
    std::vector<std::string> take_moved_into_inbox() override { return std::exchange(moved_into_inbox_, {}); }
    std::vector<listed_message> list(const std::string& folder) override;
    bool has_folder(const std::string& folder) override;
    std::string record_name(const std::string& folder) const override { return directory(folder); }
    std::string special_folder(special_use use) override;
    std::optional<std::string> header_block(const std::string& folder, const std::string& id,
                                            std::size_t limit) override;
    std::optional<message_fingerprint> fingerprint(const std::string& folder, const std::string& id) override;
    store_result settle_appended(const std::string& id) override;

    // ---- for the store's messages

    const std::string& root() const { return root_; }
    // The directory of `folder`.
    std::string directory(const std::string& folder) const;
    // Makes `folder` (an existing one is fine): 0 or the errno, with the path not made in
    // `not_made`.
    int make_folder(const std::string& folder, std::string& not_made);
    // True when this store made or found `folder` whole: a move into it goes ahead without
    // making it again.
    bool made(const std::string& folder) const { return folders_made_.count(folder) > 0; }
    // Forgets that `folder` was made: it was removed meanwhile.
    void forget_made(const std::string& folder) { folders_made_.erase(folder); }
    // The delivery `name` is in hand in the inbox's tmp/: no leftover, judged before it is shown.
    void hold_delivery(std::string name) { delivery_ = std::move(name); }
    // True once the delivery in hand was moved out of tmp/ to where it belongs.
    bool delivery_placed() const { return delivery_placed_; }
    void note_delivery_placed() { delivery_placed_ = true; }
    // The message `id` was moved into `folder` as `place` ("cur/NAME"): read from there.
    void note_moved(const std::string& folder, const std::string& id, std::string place);
    // A message of another folder was moved into the inbox as `id`.
    void note_moved_into_inbox(const std::string& id) { moved_into_inbox_.push_back(id); }

private:
    explicit maildir_store(std::string root) : root_(std::move(root)) {}
    // The path of message `id` of `folder`: where list() last saw it, else looked for.
    std::optional<std::string> path_of(const std::string& folder, const std::string& id);
    // Reads message `id` of `folder` by `read` (none when it fails): from where list() last saw
    // it, and from where it is now when another client renamed it meanwhile.
    template <typename Result, typename Read>
    std::optional<Result> read_listed(const std::string& folder, const std::string& id, Read read);

    std::string root_;
    // Folders this store made or found whole (tmp/, new/, cur/).
    std::set<std::string> folders_made_;
    std::vector<std::string> moved_into_inbox_;
    // Where list() last saw each message of a folder ("new/NAME"), by folder and id: reading
    // listed messages one by one does not list the folder again for each.
    std::map<std::string, std::map<std::string, std::string>> listed_;
    // The same for the last messages moved, by folder and id: what was just parked is read next.
    std::map<std::pair<std::string, std::string>, std::string> moved_;
    std::string delivery_;
    bool delivery_placed_ = false;
    // The folders below the root, as last listed, with what the root directory looked like then:
    // listed again only when it changed (a folder made, removed or renamed).
    struct folder_listing {
        bool valid = false;
        dev_t device = 0;
        ino_t inode = 0;
        nlink_t links = 0;
        timespec changed{};
        std::vector<std::string> folders;  // sorted
    } listing_;
};
