// What `run`, `watch` and `deliver` share: the options of a pass of the filter over a store's
// inbox, the start of a pass (mailer, SetMailer, friends), one message through the add-in, and
// the end of the pass. Its counts and summary, signals and numbers have headers of their own.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "cli/message_story.h"
#include "cli/numbers.h"
#include "cli/remote_options.h"
#include "cli/run_summary.h"
#include "cli/session.h"
#include "cli/signals.h"
#include "mailer/store_mailer.h"
#include "policy/friends.h"
#include "policy/judged_inbox.h"
#include "policy/judging.h"
#include "store/maildir_store.h"

// The send times of the last hour's challenges, in the data folder.
inline constexpr const char* budget_file_name = "challenges_sent.txt";

bool flag_is_on(addin_client& addin, const std::string& name);
std::string text_property(addin_client& addin, const std::string& name);

// One message through the add-in, as the mail client calls it for each arrival. Kept mail is
// recorded in `judged` (none: protection is off, and nothing is judged); what became of it
// is written to `log`.
void handle_message(addin_client& addin, store_mailer& host, friend_finder& friends, const std::string& name,
                    judged_inbox* judged, run_counts& counts, const judged_log& log = {});

struct account_link;

// The options of run, watch and deliver, read and checked before anything is written.
struct filter_options {
    std::string root;                              // the Maildir: the inbox; "" with `remote`
    std::optional<remote_account_options> remote;  // the account on a server, instead of a Maildir
    std::string password;                          // the account's, once fetched (account_store.h)
    std::shared_ptr<account_link> link;            // its connection, until a pass opens its store
    bool dry_run = false;                          // the account's store is only read
    store_mailer_options host;
    std::string sent_folder;            // the folder's name, "" for none
    std::string junk_folder;            // the folder's name, "" for none
    std::vector<std::string> warnings;  // optional folders named but missing, a line each
    // The Maildir that the data folder's files name, when `root` is a scratch copy of it (a dry
    // run); "" for `root` itself.
    std::string recorded_root;
    session_settings session;
    bool quiet = false;  // --quiet: only failures are told
};
// Reads them for `command` from `arguments`. Throws usage_error for a wrong one.
filter_options read_filter_options(const parsed_arguments& arguments, const std::string& command);

// A pass of the filter in an open session: the mailer over the store, the add-in told of it,
// the user's friends found.
struct filter_pass {
    com_ptr<store_mailer> host;
    std::string pending;  // the pending folder's name
    bool protection = false;
    std::unique_ptr<friend_finder> friends;
    std::unique_ptr<pending_tracker> tracker;  // the pending folder's index and the verdicts taken by moving
    std::unique_ptr<decision_log> log;         // each message judged, one line
    std::unique_ptr<judged_inbox> judged;      // the inbox messages judged already
    std::shared_ptr<mail_store> store;         // the store under `host`
    std::shared_ptr<maildir_store> maildir;    // the same, a Maildir: deliver's message in hand
    bool delivering = false;                   // a delivery: the record is not flushed
    run_counts counts;
};
// Starts a pass: the record of judged mail (made on the first pass over the Maildir, with every
// message present taken as judged; said on stderr unless `quiet`), the mailer, SetMailer (which makes the pending
// folder and imports the contacts), and, with `learn_sent_mail` and protection on, the friends found in the sent mail,
// whose pending mail the add-in releases at once. `quiet` leaves out the note that protection is off.
filter_pass begin_pass(session& running, const filter_options& filter, bool learn_sent_mail, bool quiet = false);

// Before new mail is filtered in every pass (run, each batch of watch, deliver), after the friends
// are known: the verdicts of the pending mail the user moved since the last pass.
void before_new_mail(addin_client& addin, filter_pass& pass);
// Once per pass, with protection on: the add-in moves the pending mail past its time to Trash
// (cmd_expire.cpp).
void expire_pending_mail(addin_client& addin, filter_pass& pass);
// The inbox's unread messages the filter has not judged yet, oldest first. Read mail it never
// judged is recorded as judged (the user has it). With `compact`, the record is rewritten first
// when it has grown far larger than the inbox. The unread names judged already go to `judged`.
std::vector<std::string> unjudged_arrivals(filter_pass& pass, bool compact = false,
                                           std::vector<std::string>* judged = nullptr);
// One new message of the inbox through the add-in (handle_message), its parking in the pending
// folder remembered in the index.
void filter_message(addin_client& addin, filter_pass& pass, const std::string& name);
// After the add-in is unloaded: what the pass renamed flushed to disk, the index and the
// challenge budget saved, what judging did or failed to do put into the counts' notes for the
// summary.
void end_pass(filter_pass& pass);

// `code` made 1 when the pass failed to do or keep something, with the lines on stderr that say so.
int finish_code(const session& running, const filter_pass& pass, int code);

// `watch`: filters what is new, then each batch of arrivals, until a signal asks to stop.
int watch_inbox(const filter_options& options);
