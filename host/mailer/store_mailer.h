// The mail client's part on Linux: IMailerHost over a mail store (store/mail_store.h), so that
// any store gives the add-in its mailer, with the host's rules on what the add-in may do.
//
// Above the inbox stands a root folder whose only child is the inbox ("Inbox"); below it are the
// store's folders (a "." in a name is the next level). Folders and messages travel to the add-in
// as COM objects of this mailer; a message object holds the store's handle of its message, which
// follows it when another client changes it meanwhile; when it is gone, calls on it return
// E_MESSAGE_GONE. Nothing here destroys mail: deleting moves to the "Trash" folder.
//
// What each operation does here (every one returns E_INVALIDARG for an object that is not one
// of this mailer's, E_POINTER for a missing out pointer, and never lets an exception out):
//   enum_contacts, enum_accounts  the contacts given; one account named as the store names it.
//   get_root_folder, get_incoming_folder, enum_subfolders, get_folder_name  the tree above; the
//                                 inbox is "Inbox", a subfolder its last level.
//   create_subfolder              one level below the parent; E_INVALIDARG for a name with '.',
//                                 '/' or control characters; an existing folder is fine.
//   get_message_headers           addr-spec of the first From mailbox, decoded subject, and as the
//                                 receiver the user's address the message came to (see
//                                 user_address in reply.h), the sender itself when that is one
//                                 of the user's (mail to oneself), else the first To mailbox.
//   get_message_body, enum_attachment_names  see mime.h.
//   get_unread, put_unread        the read state. For an arrival in hand (open_arrival) the
//                                 store keeps it until the message leaves the arrivals, so that
//                                 it leaves them by one step.
//   move_message, move_to_incoming, delete_message  into the folder (inbox, Trash), the id and
//                                 flags kept; a message already in Trash stays there (S_FALSE).
//   find_messages_from            the folder's messages whose sender is the address found in the
//                                 text, in any letter case.
//   delete_old_message            the folder's oldest message, when older than `days` days, to
//                                 Trash; its lower-case sender and age in seconds. S_FALSE when
//                                 none is old enough (or `days` is negative).
//   get_message_time, get_message_time2  seconds since 1970: arrival, Date field.
//   get_folder_number             the number of messages in the folder.
//   reply_to_message              see reply.h: stored in Outbox, handed to the command or
//                                 submitted by SMTP to the sender's address,
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
#include "policy/mailer_record.h"
#include "store/mail_store.h"
#include "store/smtp_submission.h"

namespace mailer_detail {
struct mailer_state;
}

// The failure code of calls on a message that has vanished (HRESULT_FROM_WIN32 of
// ERROR_FILE_NOT_FOUND).
inline constexpr HRESULT E_MESSAGE_GONE = static_cast<HRESULT>(0x80070002u);

struct store_mailer_options {
    std::vector<std::string> contacts;  // what enum_contacts hands out
    std::string sendmail_command;       // empty: replies are stored in the Outbox folder
    // The user's own addresses (the first the default): what challenges come from, and what
    // tells mail to oneself. Empty: only an envelope recipient names the user.
    std::vector<std::string> own_addresses{};
    // The arrival `deliver` stored (its name) and the envelope recipient it was delivered to;
    // empty when none.
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
    // Where challenges go by SMTP submission instead of the Outbox or the command, with the
    // password and the TLS and timeout settings for it; none: not by SMTP.
    std::optional<mail_url> smtp_server{};
    std::string smtp_password{};
    smtp_options smtp{};
    // Mail larger than this (in bytes) is never answered: a challenge quoting it would be costly,
    // and nobody writes such mail by hand. 0: no limit.
    std::uint64_t max_message_size = std::uint64_t{64} << 20;
};

class store_mailer final : public com_object<implements<IMailerHost, IID_IMailerHost>>, public mailer_record {
public:
    // A new mailer over `store`, with one reference that the caller owns.
    static com_ptr<store_mailer> create(std::shared_ptr<mail_store> store, store_mailer_options options);

    // IDispatch: the add-in calls the mailer through the virtual table only.
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override;
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid, DISPID* ids) override;
    HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags, DISPPARAMS* params, VARIANT* result,
                                     EXCEPINFO* excepinfo, UINT* arg_error) override;
    // IMailerHost
#define TARNWICK_STORE_MAILER_M(number, name, params) HRESULT STDMETHODCALLTYPE name params override;
#define TARNWICK_STORE_MAILER_R(number) HRESULT STDMETHODCALLTYPE reserved_##number() override;
    TARNWICK_MAILER_HOST_SLOTS(TARNWICK_STORE_MAILER_M, TARNWICK_STORE_MAILER_R)
#undef TARNWICK_STORE_MAILER_M
#undef TARNWICK_STORE_MAILER_R

    // ---- for the program that drives the add-in

    mail_store& store() const;
    // The message object (one reference, the caller's) to hand the add-in for `message`, which
    // it shares: what the add-in does with it shows in the handle.
    com_ptr<IUnknown> object_for(const message_ref& message);

    IMailerHost* mailer() override { return this; }
    const mailer_activity& activity() const override;
    // The moves of activity() not taken yet, which are then forgotten.
    std::vector<mailer_activity::folder_move> take_moves() override;
    // What became of the challenge of the message whose unique part was `unique` (see
    // mailer_activity::challenges), which is then forgotten; none when nothing is known.
    std::optional<std::string> take_challenge(const std::string& unique) override;
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
    std::vector<challenge_intent> challenges_left_under_way() override;
    // Forgets the challenges of these messages: their senders are on the pending list. A record
    // that cannot be written is counted and noted.
    void forget_challenges(const std::vector<std::string>& messages) override;
    // After each call of the add-in that may have challenged: the challenges it sent are
    // forgotten when it saved its lists (the pending list holds their senders), else kept as
    // sent for the next run to finish.
    void settle_challenges(bool lists_saved);
    // Removes what this program left half-written in the store (mail_store::remove_leftovers);
    // hold the store's lock. What cannot be removed is counted and noted.
    void remove_leftovers() override;
    // What was wrong with the record when the host read it; empty when nothing.
    std::string challenge_record_problem() const;
    // Counts and notes something the run's upkeep could not do (`note` says what).
    void note_upkeep_failure(std::string note) override;
    // The account of the store, as the store names it.
    const std::string& account() const;
    // The arrival `deliver` stored in this process (its name); "" for none.
    const std::string& delivered_file() const override;
    // Where the user finds the replies stored when no command sends them (mail_store::place_of).
    std::string outbox_place() const;

private:
    store_mailer(std::shared_ptr<mail_store> store, store_mailer_options options);
    ~store_mailer() override = default;

    std::shared_ptr<mailer_detail::mailer_state> state_;
};

// True when the add-in can act on the sender of a message with these header fields: its address
// rule (extract_email_address) finds an address in the first From mailbox, so that it can answer
// and list him.
bool usable_sender(const header_summary& headers);

// The number of the mailer's COM objects (mailers, folders, messages, enumerators) alive in the
// process; tests check that every reference handed out came back.
long mailer_live_objects();
