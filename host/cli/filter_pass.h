// What `run`, `watch` and `deliver` share: the options of a pass of the filter over a Maildir's
// inbox, the start of a pass (host, SetMailer, friends), one message through the add-in, and what
// the pass tells at its end.
#pragma once

#include <signal.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "cli/cli.h"
#include "mailer/judging.h"
#include "mailer/store_mailer.h"
#include "policy/friends.h"

// The send times of the last hour's challenges, in the data folder.
inline constexpr const char* budget_file_name = "challenges_sent.txt";

// A whole number from 0 to 100000 for `option`; a usage error otherwise.
int whole_number(const std::string& text, const std::string& option);

// Set by SIGINT and SIGTERM once install_signal_handlers ran; the pipe's read end becomes
// readable then too, for a loop that waits in poll().
extern volatile sig_atomic_t stop_requested;
extern int signal_pipe[2];
// SIGINT and SIGTERM end the pass after the message in hand, so that the add-in is always
// unloaded cleanly.
void install_signal_handlers();

struct run_counts {
    int seen = 0;                    // handed to the add-in
    int kept = 0;                    // still in the inbox afterwards
    int gone = 0;                    // vanished or seen by another client before its turn, or vanished during it
    int unreadable = 0;              // left in new/: the file cannot be read
    int unsaved = 0;                 // calls after which the add-in said its list files could not be written
    int unmarked = 0;                // kept messages that could not be moved from new/ to cur/
    int left_new = 0;                // left in new/: the filter's move of them failed
    int friend_waits = 0;            // left in new/ unfiltered: a friend's answer whose sender was not added
    std::vector<std::string> notes;  // one line for each message the user should look at
    // The inbox's new messages handed to the add-in, with what became of their challenge: "" for
    // none, else the address it went to, or "withheld". Kept only with keep_handled (a dry run
    // tells them), so that a long run does not grow with them.
    bool keep_handled = false;
    std::vector<std::pair<std::string, std::string>> handled;

    // True when something the run had to do was not done or not kept.
    bool failed(const host_activity& activity) const {
        return unreadable > 0 || unsaved > 0 || unmarked > 0 || left_new > 0 || friend_waits > 0 ||
               activity.replies_failed > 0 || activity.budget_not_saved > 0 || activity.moves_failed > 0 ||
               activity.folders_failed > 0 || activity.flags_failed > 0 || activity.upkeep_failed > 0;
    }
};

bool flag_is_on(addin_client& addin, const std::string& name);
std::string text_property(addin_client& addin, const std::string& name);

// One message through the add-in, as the mail client calls it for each arrival.
void handle_message(addin_client& addin, store_mailer& host, friend_finder& friends, const std::string& name,
                    bool mark_seen, run_counts& counts);

void print_count(const std::string& what, int count, const std::string& detail = "");

// A dry run works on a scratch copy: what it prints names the real Maildir and sending.
struct dry_run_view {
    std::string root;      // the real Maildir
    std::string sendmail;  // the real --sendmail command, "" for none
};

void print_summary(const store_mailer& host, const run_counts& counts, const friend_finder& friends,
                   const std::string& pending, const std::string& sendmail, const session& running, bool protection,
                   bool gated, const dry_run_view* dry);

// The options of run, watch and deliver, read and checked before anything is written.
struct filter_options {
    std::string root;  // the Maildir: the inbox
    store_mailer_options host;
    std::string sent_folder;  // Maildir++ name, "" for none
    std::string junk_folder;  // Maildir++ name, "" for none
    // The Maildir that the data folder's files name, when `root` is a scratch copy of it (a dry
    // run); "" for `root` itself.
    std::string recorded_root;
    session_settings session;
};
// Reads them for `command` from `arguments`. Throws usage_error for a wrong one.
filter_options read_filter_options(const parsed_arguments& arguments, const std::string& command);

// A byte count: digits with an optional K, M or G (powers of 1024). None when `text` is not one.
std::optional<std::uint64_t> parse_byte_size(const std::string& text);

// A pass of the filter in an open session: the mailer over the Maildir, the add-in told of it,
// the user's friends found.
struct filter_pass {
    com_ptr<store_mailer> host;
    std::string pending;  // the pending folder's name
    bool protection = false;
    std::unique_ptr<friend_finder> friends;
    std::unique_ptr<pending_tracker> tracker;  // the pending folder's index and the verdicts taken by moving
    run_counts counts;
};
// Starts a pass: the mailer, SetMailer (which makes the pending folder and imports the contacts),
// and, with `learn_sent_mail` and protection on, the friends found in the sent mail, whose
// pending mail the add-in releases at once. `quiet` leaves out the note that protection is off.
filter_pass begin_pass(session& running, const filter_options& filter, bool learn_sent_mail, bool quiet = false);

// Before new mail is filtered in every pass (run, each batch of watch, deliver), after the friends
// are known: the verdicts of the pending mail the user moved since the last pass.
void before_new_mail(addin_client& addin, filter_pass& pass);
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
