#include "cli/run_summary.h"

#include <iostream>

#include "cli/numbers.h"
#include "platform/text.h"
#include "policy/pending_index.h"

void print_count(const std::string& what, int count, const std::string& detail) {
    std::cout << "  " << what << std::string(what.size() < 30 ? 30 - what.size() : 1, ' ') << grouped(count);
    if (!detail.empty()) std::cout << "  (" << detail << ")";
    std::cout << "\n";
}

std::string sending_of(const store_mailer_options& options) {
    if (options.smtp_server) return "sent by SMTP to " + options.smtp_server->text();
    return options.sendmail_command.empty() ? "" : "handed to " + options.sendmail_command;
}

void print_summary(const store_mailer& host, const run_counts& counts, const friend_finder& friends,
                   const std::string& pending, const std::string& sending, const session& running, bool protection,
                   bool gated, const dry_run_view* dry) {
    const mailer_activity& activity = host.activity();
    std::cout << "tarnwick: " << counts.seen << (counts.seen == 1 ? " message" : " messages")
              << (dry ? " would be handled in " : " handled in ") << (dry ? dry->root : host.account()) << "\n";
    print_count("kept in the inbox", counts.kept);
    auto moved = activity.moved_into.find(pending);
    print_count("moved to the pending folder", moved == activity.moved_into.end() ? 0 : moved->second, pending);
    for (const auto& [folder, count] : activity.moved_into) {
        if (folder != pending) print_count("moved to " + (folder.empty() ? std::string("the inbox") : folder), count);
    }
    print_count("deleted (moved to Trash)", activity.deleted);
    if (activity.expired) print_count("expired (moved to Trash)", activity.expired);
    std::string outbox = host.outbox_place();
    // A Maildir's scratch copy is named as the real one; a server's folder is named as it is.
    if (dry && outbox.starts_with(host.account())) outbox = dry->root + outbox.substr(host.account().size());
    print_count(dry ? "challenges that would be sent" : "challenges sent", activity.replies_sent,
                (dry ? "would be " : "") + (sending.empty() ? "stored in " + outbox : sending));
    print_count("challenges withheld", activity.replies_withheld, folded(activity.withheld_in_detail));
    int unchallenged = 0;
    for (const auto& [reason, count] : activity.unchallenged_by) unchallenged += count;
    if (unchallenged) print_count("parked without a challenge", unchallenged, folded(activity.unchallenged_by));
    if (activity.replies_failed) print_count("challenges failed", activity.replies_failed);
    print_count("released to the inbox", activity.released);
    print_count("friends added", friends.added(),
                friends.sent_folder().empty()
                    ? "no sent folder"
                    : "read " + std::to_string(friends.sent_read()) + " new in ." + friends.sent_folder());
    if (counts.gone) print_count("gone before or while handled", counts.gone);
    if (counts.unreadable) print_count("unreadable, left in new/", counts.unreadable);
    if (counts.unsaved)
        print_count(
            "lists not saved", counts.unsaved,
            "the filter could not write " + running.files_not_written_text("its list files") + "; see the debug log");
    if (activity.moves_failed) print_count("moves failed", activity.moves_failed);
    if (activity.folders_failed) print_count("folders not made", activity.folders_failed);
    if (activity.flags_failed) print_count("read states not changed", activity.flags_failed);
    if (activity.budget_not_saved) print_count("challenges not counted in the budget", activity.budget_not_saved);
    if (activity.upkeep_failed) print_count("upkeep not done", activity.upkeep_failed);
    if (counts.unmarked) print_count("kept but left in new/", counts.unmarked);
    if (counts.left_new) print_count("left in new/ (move failed)", counts.left_new);
    if (counts.friend_waits) print_count("left in new/ (friend not added)", counts.friend_waits);
    // Notes name senders and files, which come from outside. Past the first few, the withheld
    // challenges of a long run are left to the counts above.
    constexpr int withheld_notes_shown = 10;
    int withheld_notes = 0;
    for (const auto* notes : {&activity.notes, &counts.notes, &friends.notes()})
        for (const std::string& note : *notes) {
            bool withheld = note.rfind("challenge to ", 0) == 0 && note.find(" withheld: ") != std::string::npos;
            if (withheld && ++withheld_notes > withheld_notes_shown) continue;
            std::cout << "  " << shown_text(note, 4000) << "\n";
        }
    if (withheld_notes > withheld_notes_shown)
        std::cout << "  and " << grouped(withheld_notes - withheld_notes_shown)
                  << " more challenges withheld, counted above\n";
    if (!gated)
        std::cout << "  challenges are not gated by sender authentication: set trusted-authserv to your mail "
                     "server's id (--trusted-authserv ID)\n";
    if (!protection)
        std::cout << "  protection is off: the filter acted on nothing "
                     "(tarnwick config set EnableProtection true)\n";
    if (!dry) std::cout << "debug log: " << running.debug_log() << "\n";
}
