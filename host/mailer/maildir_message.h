// A message of the Maildir host as the add-in holds it: a COM object that remembers its folder
// and file name, finds its file again when another client renamed it meanwhile, and leaves its
// folder only by a rename that never replaces another file. Private to the host.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "common/mime.h"
#include "mailer/maildir_store.h"
#include "platform/com_object.h"
#include "policy/reply.h"
#include "store/maildir.h"

namespace host_detail {

// Asked of an object handed back by the add-in, this private id gives the object itself, so
// that a foreign object can never be taken for one of ours.
// {6F1C5A52-2C7E-4D8B-9A0B-3E4F51A2C002}
inline constexpr IID IID_maildir_message = {
    0x6F1C5A52, 0x2C7E, 0x4D8B, {0x9A, 0x0B, 0x3E, 0x4F, 0x51, 0xA2, 0xC0, 0x02}};

class message_object final : public com_object<implements<IUnknown, IID_maildir_message>> {
public:
    // `in_hand` marks the new message the program is filtering: its read state is kept here
    // until its one move out of new/ (see put_seen). `bytes`, when given, is the file's content,
    // read once: headers, body and the checks of a reply come from it instead of the file.
    message_object(store_ptr owner, std::string folder, maildir::message_file file, bool in_hand = false,
                   std::optional<std::string> bytes = std::nullopt);

    const store_ptr& owner() const { return owner_; }
    const std::string& folder() const { return folder_; }
    const maildir::message_file& file() const { return file_; }
    std::string path() const;

    // Finds the file: where it was last seen, or else by its unique part in new/ and cur/ of its
    // folder (a client may have renamed it to change its flags). False when it is gone. The
    // arrival time is taken again too.
    bool locate();
    // True when the message is read: the read state waiting for the next move, or else the 'S'
    // flag of its name. Call after locate().
    bool seen() const;
    // True when a read state waits for the next move.
    bool state_waits() const { return wanted_seen_.has_value(); }

    // Sets the read state. Flags live in the name, and a name with flags belongs in cur/, so a
    // message in hand that is still in new/ keeps the state here instead: the move that takes
    // it out of new/ carries it. A second rename first would leave the message in the inbox's
    // cur/, never to be filtered again, should the program die between the two. A change the
    // disk refuses is counted and noted: the add-in goes on without it.
    HRESULT put_seen(bool want_seen);

    // Moves the file into `folder`/`subdir` under the name `name_for` gives for the current
    // name (with the read state waiting for this move), never over another file. A move into
    // another folder that meets a file of the same name takes a fresh unique name. Renames at
    // once from where the file was last seen, and looks for it only when that name is gone
    // (another client renamed it meanwhile, or it vanished).
    HRESULT move_to(const std::string& folder, const char* subdir,
                    const std::function<std::string(const std::string&)>& name_for);
    // Moves the message into `folder`'s cur/, making the folder when it is missing. A move the
    // disk refuses is counted and noted, so that the run can say what it could not do; a message
    // that vanished meanwhile is another client's doing, not a failure.
    HRESULT move_into(const std::string& folder);

    // The errno of the last move the file system refused; 0 when none did.
    int last_error() const { return last_error_; }
    // True once a move of this message into another folder failed.
    bool move_failed() const { return move_failed_; }

    // The header fields, read once; null when the file is gone or cannot be read.
    const header_summary* headers();
    // The same, shared: null when not read yet.
    const std::shared_ptr<const header_summary>& headers_read() const { return headers_; }
    // Body and attachment names, read once; null when the file is gone or cannot be read. A
    // message larger than the host's max_message_size gives neither: its body is not read.
    // After take_body, the body in it is empty.
    const message_content* content();
    // The body of content(), handed over: the add-in keeps what it is given, and a large body
    // held here as well would cost twice. Asked again, it is read again; none as for content().
    std::optional<std::string> take_body();
    // The size of the file in bytes; none when it is gone.
    std::optional<std::uint64_t> size();
    // True when the file is larger than the host's max_message_size.
    bool beyond_size_limit();
    // The user's addresses as they concern this message: the own addresses, and the envelope
    // recipient when it is the message `deliver` just stored.
    user_addresses user() const;
    // The receiver the add-in is told of, from `headers`: see get_message_headers in maildir_host.h.
    std::string receiver(const header_summary& headers) const;
    // The arrival time (the file's), in seconds since 1970; none when the file is gone.
    std::optional<double> arrival_time();

    // Answers the sender with `subject` and `body`: stored in the Outbox folder, or handed to the
    // host's command. E_ABORT when the message must not be answered automatically, when trusted
    // servers are set and none authenticated its sender, or when the challenge budget is spent
    // (see maildir_host_options). Counted and,
    // unless sent, noted.
    HRESULT reply(const std::string& subject, const std::string& body);

private:
    // `name` with the waiting read state applied to its flags; unchanged when none waits.
    std::string with_wanted_state(const std::string& name) const;

    store_ptr owner_;
    std::string folder_;
    maildir::message_file file_;
    std::string unique_;
    int last_error_ = 0;
    bool move_failed_ = false;
    bool in_hand_ = false;
    std::optional<bool> wanted_seen_;   // the read state the next move gives the file
    std::optional<std::string> bytes_;  // the file's content, when read whole at the start
    std::shared_ptr<const header_summary> headers_;
    std::optional<message_content> content_;
    bool body_taken_ = false;  // content_'s body was handed over by take_body
};

// One of `owner`'s message objects behind `object`, with a reference the caller then owns;
// empty for anything else.
com_ptr<message_object> message_from(IUnknown* object, const store_ptr& owner);
com_ptr<message_object> message_from(const VARIANT& value, const store_ptr& owner);

// The name of a message file once it is in cur/: its info made "2,FLAGS".
std::string seen_name(const std::string& name);

}  // namespace host_detail
