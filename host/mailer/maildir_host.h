// The mail client's part on Linux: IMailerHost over a Maildir++ tree.
//
// The root Maildir is the incoming folder "Inbox"; its ".Name" folders are its subfolders (a "."
// in a name is the next level); above it stands a root folder whose only child is the inbox.
// Folders and messages travel to the add-in as COM objects of this host. A message object
// remembers its folder and file name and finds its file again by the unique part of the name
// when a delivery agent or an IMAP server renamed it meanwhile; when the file is gone, calls on
// it return E_MESSAGE_GONE. Nothing here destroys mail: deleting moves to the "Trash" folder.
//
// What each operation does here (every one returns E_INVALIDARG for an object that is not one
// of this host's, E_POINTER for a missing out pointer, and never lets an exception out):
//   enum_contacts, enum_accounts  the contacts given; one account named by the Maildir's path.
//   get_root_folder, get_incoming_folder, enum_subfolders, get_folder_name  the tree above; the
//                                 inbox is "Inbox", a subfolder its last level.
//   create_subfolder              one level below the parent; E_INVALIDARG for a name with '.',
//                                 '/' or control characters; an existing folder is fine.
//   get_message_headers           addr-spec of the first From mailbox, decoded subject, and as the
//                                 receiver the user's address the message came to (see
//                                 user_address in reply.h), the sender itself when that is one
//                                 of the user's (mail to oneself), else the first To mailbox.
//   get_message_body, enum_attachment_names  see mime.h.
//   get_unread, put_unread        the 'S' flag. For the new message in hand (open_new_message)
//                                 the state is kept in the object until its move out of new/,
//                                 so that the message leaves new/ by one rename; any other
//                                 file is renamed at once (a new/ file to cur/).
//   move_message, move_to_incoming, delete_message  into the folder's cur/ (inbox, Trash), the
//                                 name's unique part and flags kept; a message already in Trash
//                                 stays there (S_FALSE).
//   find_messages_from            the folder's messages whose sender is the address found in the
//                                 text, in any letter case.
//   delete_old_message            the folder's oldest message, when older than `days` days, to
//                                 Trash; its lower-case sender and age in seconds. S_FALSE when
//                                 none is old enough (or `days` is negative).
//   get_message_time, get_message_time2  seconds since 1970: arrival (file time), Date field.
//   get_folder_number             the number of messages in the folder.
//   reply_to_message              see reply.h: stored in Outbox/new or handed to the command,
//                                 once written down as under way (challenge_intent.h);
//                                 E_ABORT when the message is not mail or too large, must not be
//                                 answered automatically, its sender is not authenticated, the
//                                 budget is spent, or a run that ended early challenged him.
//   folder actions, create_message, send_message, reserved slots, IDispatch  E_NOTIMPL.
//
// Single-threaded, like the add-in's apartment; reference counts are atomic all the same.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "contract/mailer_host.h"
#include "platform/com.h"
#include "platform/com_object.h"
#include "policy/activity.h"
#include "policy/challenge_intent.h"

namespace host_detail {
struct maildir_store;
}

// The failure code of calls on a message whose file has vanished (HRESULT_FROM_WIN32 of
// ERROR_FILE_NOT_FOUND).
inline constexpr HRESULT E_MESSAGE_GONE = static_cast<HRESULT>(0x80070002u);

struct maildir_host_options {
    std::string root;                   // the Maildir: the inbox
    std::vector<std::string> contacts;  // what enum_contacts hands out
    std::string sendmail_command;       // empty: replies are stored in the Outbox folder
    // The user's own addresses (the first the default): what challenges come from, and what
    // tells mail to oneself. Empty: only an envelope recipient names the user.
    std::vector<std::string> own_addresses{};
    // The message `deliver` stored in the inbox's new/ (its file name) and the envelope recipient
    // it was delivered to; empty when none.
    std::string delivered_file{};
    std::string delivered_to{};
    // The ids of the mail servers whose Authentication-Results fields are believed (see
    // auth_results.h); empty: challenges are not gated by sender authentication.
    std::vector<std::string> trusted_authserv{};
    std::string budget_file{};  // where the challenge budget is kept; empty: no budget
    int challenge_limit = 30;   // challenges an hour, across runs, with a budget_file
    // Where the challenges under way are written down (challenge_intent.h); empty: nowhere, and
    // a run that ends early may challenge a sender twice.
    std::string challenge_record_file{};
    // Mail larger than this (in bytes) is never answered: a challenge quoting it would be costly,
    // and nobody writes such mail by hand. 0: no limit.
    std::uint64_t max_message_size = std::uint64_t{64} << 20;
};

class maildir_host final : public com_object<implements<IMailerHost, IID_IMailerHost>> {
public:
    // A new host over `options.root`, with one reference that the caller owns.
    static com_ptr<maildir_host> create(maildir_host_options options);

    // IDispatch: the add-in calls the host through the virtual table only.
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override;
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids) override;
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result,
                                     EXCEPINFO* excepinfo, UINT* arg_error) override;
    // IMailerHost
#define TARNWICK_MAILDIR_M(number, name, params) HRESULT STDMETHODCALLTYPE name params override;
#define TARNWICK_MAILDIR_R(number) HRESULT STDMETHODCALLTYPE reserved_##number() override;
    TARNWICK_MAILER_HOST_SLOTS(TARNWICK_MAILDIR_M, TARNWICK_MAILDIR_R)
#undef TARNWICK_MAILDIR_M
#undef TARNWICK_MAILDIR_R

    // ---- for the program that drives the add-in

    // File names in the inbox's new/, in arrival order (oldest first).
    std::vector<std::string> new_messages() const;
    // A message object (one reference, the caller's) for the inbox's new/`name`; empty when the
    // file is gone or another client has moved it to cur/ (it has been seen, so it is left alone),
    // and when the file cannot be read, with the errno in `read_error` (0 otherwise): the add-in
    // would take it for a message without a sender. The file is read whole here, once; the
    // add-in's questions about it are answered from what was read (up to a size; larger files
    // are read again for each).
    com_ptr<IUnknown> open_new_message(const std::string& name, int* read_error = nullptr);
    // True when the add-in can act on the message's first From mailbox: its address rule
    // (extract_email_address) finds an address there, so that it can answer and list the sender.
    bool has_usable_sender(IUnknown* message);
    // The header fields of a message object of this host, valid while the object lives; null when
    // its file is gone or cannot be read, or the object is not one of this host's messages.
    const header_summary* headers_of(IUnknown* message);
    // The folder (Maildir++ name, "" the inbox) a message object of this host is in now; none
    // when its file is gone or the object is not one of this host's messages.
    std::optional<std::string> folder_of(IUnknown* message);
    // True when the add-in asked to move the message into another folder and the disk refused.
    bool move_failed(IUnknown* message);
    // Moves a message that is still in the inbox's new/ to cur/, keeping its name and flags and
    // giving it the read state set meanwhile, as a client does with mail it has seen. True when
    // done or nothing was to do.
    bool mark_seen(IUnknown* message);

    const host_activity& activity() const;
    // The moves of activity() not taken yet, which are then forgotten.
    std::vector<host_activity::folder_move> take_moves();
    // What became of the challenge of the message whose unique part was `unique` (see
    // host_activity::challenges), which is then forgotten; none when nothing is known.
    std::optional<std::string> take_challenge(const std::string& unique);
    // Writes the challenge budget's file, flushed to disk, when challenges were counted in it
    // without (as a pass does, see folder_sync.h). False when it could not be written: counted
    // as challenges not counted in the budget, and noted.
    bool save_budget();
    // What was wrong with the challenge budget's file when the host read it; empty when nothing.
    std::string budget_problem() const;

    // ---- challenges under way (challenge_intent.h), with options.challenge_record_file

    // What a run that ended early left in the record: each challenge's sender and message, with
    // `sent` true when it went out. One stored in the Outbox went out when it is in new/ or cur/
    // there; one handed to the command is taken as sent, so that it is sent at most once. The
    // others are forgotten here (their half-written file removed), as their message, still new,
    // is challenged when filtered again. Those that went out are noted as the challenge of their
    // message (take_challenge).
    std::vector<challenge_intent> challenges_left_under_way();
    // Forgets the challenges of these messages: their senders are on the pending list. A record
    // that cannot be written is counted and noted.
    void forget_challenges(const std::vector<std::string>& messages);
    // After each call of the add-in that may have challenged: the challenges it sent are
    // forgotten when it saved its lists (the pending list holds their senders), else kept as
    // sent for the next run to finish.
    void settle_challenges(bool lists_saved);
    // Removes what this program left half-written in the tmp/ folder of any folder of the
    // Maildir (maildir::remove_own_temporaries); hold the Maildir's lock. A file that cannot be
    // removed is counted and noted.
    void remove_leftovers();
    // What was wrong with the record when the host read it; empty when nothing.
    std::string challenge_record_problem() const;
    // Counts and notes something the run's upkeep could not do (`note` says what).
    void note_upkeep_failure(std::string note);
    const std::string& root() const;
    // The file `deliver` stored in this process (its name in new/); "" for none.
    const std::string& delivered_file() const;
    // The folder directory where replies are stored when no command sends them.
    std::string outbox_directory() const;

private:
    explicit maildir_host(maildir_host_options options);
    ~maildir_host() override = default;

    std::shared_ptr<host_detail::maildir_store> store_;
};

// The number of this host's COM objects (hosts, folders, messages, enumerators) alive in the
// process; tests check that every reference handed out came back.
long maildir_live_objects();
