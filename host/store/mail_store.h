// The mail store as the host sees it: folders by name and messages as handles, whatever keeps
// them (a Maildir today). What stands above it knows nothing of files, paths or flags in names.
//
// A folder is named by its full name, its levels joined by '.': "" is the inbox, "Lists.Work"
// the subfolder "Work" of "Lists". Nothing here destroys mail: what is deleted goes to a folder.
#pragma once

#include <time.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/mime.h"
#include "store/message_fingerprint.h"

// What a change to the store came to.
struct store_result {
    enum outcome { done, gone, failed };
    outcome what = done;
    // With `failed`: the errno of what the store refused, 0 when the message kept changing
    // names under the host.
    int error = 0;
    // With `failed`: where the folder that could not be made is, when that was the failure.
    std::string not_made{};

    bool ok() const { return what == done; }
};

// One message of the store, followed wherever another client or the host moves it.
class message_handle {
public:
    virtual ~message_handle() = default;

    // Its unique id within the store, which another client's renames keep.
    virtual const std::string& id() const = 0;
    // The folder it was last found in.
    virtual const std::string& folder() const = 0;
    // Its name as the user finds it in the store, for what the host tells him.
    virtual const std::string& name() const = 0;
    // Where it is within its folder, as the store names it; what a program that reads the
    // folder later finds it by.
    virtual std::string place() const = 0;
    // Its arrival time as last found; moves keep it.
    virtual timespec arrival() const = 0;

    // Finds it again: where it was last seen, or by its id when another client changed it
    // meanwhile. False when it is gone. The arrival time is taken again too.
    virtual bool locate() = 0;
    // True when it is read. Call after locate().
    virtual bool seen() const = 0;
    // Sets the read state. A message opened as an arrival keeps it until it leaves the arrivals
    // (move_to or leave_arrivals), so that it leaves them by one step.
    virtual store_result set_seen(bool seen) = 0;
    // Moves it into `folder`, made when missing, keeping its id and its flags, never over another
    // message (it takes a fresh id when its name is taken there). Moving it into its own folder
    // only finds it.
    virtual store_result move_to(const std::string& folder) = 0;
    // True once a move into another folder failed other than by the message vanishing.
    virtual bool move_failed() const = 0;
    // Puts a kept arrival where the user's mail programs look for it, with the read state set
    // meanwhile: a delivery still being written aside becomes new mail, and mail marked read
    // leaves the new mail; unread mail already in the inbox stays as it is. True when done, when
    // nothing was to do, or when the message vanished.
    virtual bool leave_arrivals() = 0;

    // Its header fields, read once; null when it is gone or cannot be read.
    virtual const header_summary* headers() = 0;
    // The same, shared, when read already; null when not read yet.
    virtual std::shared_ptr<const header_summary> headers_read() const = 0;
    // Its size in bytes; none when it is gone.
    virtual std::optional<std::uint64_t> size() = 0;
    // Its body and attachment names, read again at each call; none when it is gone or cannot be
    // read.
    virtual std::optional<message_content> read_content() = 0;
    // True when it starts with a header field, as mail does (looking at its first kilobyte).
    virtual bool starts_with_header_field() = 0;
};
using message_ref = std::shared_ptr<message_handle>;

class mail_store {
public:
    virtual ~mail_store() = default;

    // The account as the user knows it.
    virtual const std::string& account() const = 0;
    // Where the user finds the new mail of `folder`, for what the host tells him.
    virtual std::string place_of(const std::string& folder) const = 0;

    // Every folder below the inbox, sorted.
    virtual const std::vector<std::string>& folders() = 0;
    // The folders directly below `folder`, sorted.
    virtual std::vector<std::string> children(const std::string& folder) = 0;
    // True when `name` may be a folder's name.
    virtual bool valid_folder_name(std::string_view name) const = 0;
    // Makes `folder` with the levels above it; an existing folder is fine.
    virtual store_result create_folder(const std::string& folder) = 0;

    // The messages of `folder`, oldest first.
    virtual std::vector<message_ref> messages(const std::string& folder) = 0;
    // The number of messages in `folder`.
    virtual size_t message_count(const std::string& folder) = 0;
    // True when `folder` holds the message whose id is `id`.
    virtual bool holds(const std::string& folder, const std::string& id) = 0;

    // One message of the inbox as listed.
    struct inbox_entry {
        std::string name;
        std::string id;
        bool seen = false;
    };
    // Every message of the inbox, oldest first.
    virtual std::vector<inbox_entry> inbox() = 0;
    // The inbox's unread mail, by name, oldest first: what the filter may not have judged yet.
    std::vector<std::string> arrivals() {
        std::vector<std::string> names;
        for (inbox_entry& entry : inbox())
            if (!entry.seen) names.push_back(std::move(entry.name));
        return names;
    }
    // The id of the arrival `name`.
    virtual std::string id_of_arrival(const std::string& name) const = 0;
    // The arrival `name` (unread mail of the inbox, or a delivery still being written aside), read
    // whole here, once, when not too large: what is asked of it is answered from what was read.
    // Null when it is gone, was read by another client meanwhile (it is left alone then) or
    // cannot be read, with the errno in `read_error` for the last (0 otherwise).
    virtual message_ref open_arrival(const std::string& name, int* read_error) = 0;
    // The ids of the messages this store moved into the inbox from other folders since the last
    // call (mail released): judged already, they are no arrivals.
    virtual std::vector<std::string> take_moved_into_inbox() = 0;

    // A fresh id for a message to store.
    virtual std::string new_id() = 0;
    // Stores `bytes` as a new, unread message `id` of `folder`, made when missing. False, with
    // what failed in `error`, when it could not be.
    virtual bool store(const std::string& folder, const std::string& id, std::string_view bytes,
                       std::string& error) = 0;
    // The id that the message stored as `id` has in the store; "" when the store cannot tell (a
    // server that did not say). The same id by default.
    virtual std::string stored_id(const std::string& id) const { return id; }

    // Removes what this program left half-written in any folder, while it holds the store's lock;
    // gives what could not be removed, one line each.
    virtual std::vector<std::string> remove_leftovers() = 0;

    // ---- reading folders without opening their messages (judging by moving, sent mail)

    // One message of a folder as listed, not read.
    struct listed_message {
        std::string id;
        std::string name;
        std::uint64_t size = 0;  // its bytes as the store keeps them (CRLF on a server)
        timespec arrival{};
        bool seen = false;
    };
    // Every message of `folder`, in no order; empty when the folder is missing.
    virtual std::vector<listed_message> list(const std::string& folder) = 0;
    // True when `folder` exists and holds mail.
    virtual bool has_folder(const std::string& folder) = 0;
    // `folder` as the records of the data folder name it: the same for the same folder of the same
    // account, whichever run reads it, and no other folder's. The account's URL and the folder by
    // default.
    virtual std::string record_name(const std::string& folder) const { return account() + "/" + folder; }
    // What a folder is for, as a server marks it (RFC 6154) or the usual names tell.
    enum class special_use { junk, sent, trash };
    // The folder used for `use`; "" when there is none.
    virtual std::string special_folder(special_use use) = 0;
    // The header block of message `id` of `folder`, at most `limit` bytes; none when it is gone or
    // cannot be read.
    virtual std::optional<std::string> header_block(const std::string& folder, const std::string& id,
                                                    std::size_t limit) = 0;
    // The size, line count and SHA-256 of message `id` of `folder`, line ends counted as LF; none
    // when it is gone or cannot be read.
    virtual std::optional<message_fingerprint> fingerprint(const std::string& folder, const std::string& id) = 0;
    // An inbox message a client put there anew (APPEND of a pending message's bytes) is the
    // user's: it leaves the arrivals without being filtered. Gone is fine.
    virtual store_result settle_appended(const std::string& id) = 0;

    // ---- a store that numbered its mail anew, or lost its connection

    // A store whose ids never change and whose folders never go away under it (a Maildir) keeps
    // these as they are.
    // The inbox's messages whose ids changed since the last run (a server that numbered its mail
    // anew), old id then new id, found by Message-ID, size and arrival. Given again by every store
    // opened until forget_renumbered(), which the host calls once its own records hold the new ids.
    virtual std::vector<std::pair<std::string, std::string>> renumbered() { return {}; }
    // 0, or the errno of writing down that the new ids are the ones now.
    virtual int forget_renumbered() { return 0; }
    // 0, or the errno of a failure (a dropped connection) after which the store can do nothing
    // more: what it listed since is short, and the host must not take it for a whole folder.
    virtual int broken() const { return 0; }
};
