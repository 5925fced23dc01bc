// What a pass of the filter counts, and the summary it prints at its end.
#pragma once

#include <string>
#include <vector>

#include "cli/dry_run.h"
#include "cli/session.h"
#include "mailer/store_mailer.h"
#include "policy/friends.h"

struct run_counts {
    int seen = 0;                    // handed to the add-in
    int kept = 0;                    // still in the inbox afterwards
    int gone = 0;                    // vanished or seen by another client before its turn, or vanished during it
    int unreadable = 0;              // left in new/: the file cannot be read
    int unsaved = 0;                 // calls after which the add-in said its list files could not be written
    int unmarked = 0;                // kept messages that could not be moved from new/ to cur/
    int left_new = 0;                // left in new/: the filter's move of them failed
    int friend_waits = 0;            // left in new/ unfiltered: a friend's answer whose sender was not added
    int connection_lost = 0;         // the store's connection to its server broke during the pass
    std::vector<std::string> notes;  // one line for each message the user should look at
    // The inbox's new messages handed to the add-in. Kept only with keep_handled (a dry run
    // tells them), so that a long run does not grow with them.
    bool keep_handled = false;
    std::vector<handled_message> handled;

    // True when something the run had to do was not done or not kept.
    bool failed(const mailer_activity& activity) const {
        return unreadable > 0 || unsaved > 0 || connection_lost > 0 || unmarked > 0 || left_new > 0 ||
               friend_waits > 0 || activity.replies_failed > 0 || activity.budget_not_saved > 0 ||
               activity.moves_failed > 0 || activity.folders_failed > 0 || activity.flags_failed > 0 ||
               activity.upkeep_failed > 0;
    }
};

void print_count(const std::string& what, int count, const std::string& detail = "");

// Where `options` send challenges when not into the Outbox: "handed to CMD", "sent by SMTP to
// smtps://..."; "" for the Outbox.
std::string sending_of(const store_mailer_options& options);

// A dry run works on a scratch copy: what it prints names the real Maildir and sending.
struct dry_run_view {
    std::string root;     // the real Maildir
    std::string sending;  // sending_of the real options
};

// `sending`: sending_of the options of the pass.
void print_summary(const store_mailer& host, const run_counts& counts, const friend_finder& friends,
                   const std::string& pending, const std::string& sending, const session& running, bool protection,
                   bool gated, const dry_run_view* dry);
