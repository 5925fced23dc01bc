// What the add-in did through the mailer of one run, counted as it happened: the run's summary,
// its history record and judging by moving read it.
#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

struct header_summary;

// What the add-in did through the mailer, counted as it happened.
struct mailer_activity {
    std::map<std::string, int> moved_into;   // moves by target folder (Maildir++ name, "" the inbox)
    int deleted = 0;                         // messages moved to Trash by delete_message
    int expired = 0;                         // messages moved to Trash by delete_old_message
    int released = 0;                        // messages moved back to the inbox by move_to_incoming
    int replies_sent = 0;                    // stored in Outbox or accepted by the command
    int replies_withheld = 0;                // refused: automatic mail, unauthenticated sender, budget spent
    std::map<std::string, int> withheld_by;  // replies_withheld by kind of reason ("not authenticated", ...)
    // The same, automatic mail told apart by what gave it away ("mailing-list mail", "no return
    // path", ...), for the summary; history keeps the kinds.
    std::map<std::string, int> withheld_in_detail;
    // Messages parked that the add-in never challenges, by why: "mail to oneself", "no sender".
    std::map<std::string, int> unchallenged_by;
    int replies_failed = 0;          // could not be composed, stored or sent
    int moves_failed = 0;            // moves, deletions and releases the disk refused
    int folders_failed = 0;          // folders the add-in asked for that could not be made
    int flags_failed = 0;            // read states the disk refused to change
    int budget_not_saved = 0;        // challenges sent whose time the budget file did not take
    int upkeep_failed = 0;           // records of challenges under way, and leftovers in tmp/, not kept or removed
    std::vector<std::string> notes;  // one line for each withheld or failed reply or move

    // Every message the add-in moved from one folder into another, in order, so that the program
    // can tell the filter's own moves from the user's.
    struct folder_move {
        std::string from;                                 // the folder's name, "" the inbox
        std::string to;                                   // the same
        std::string unique_before;                        // its id in `from`
        std::string id_after;                             // its id in `to`
        std::shared_ptr<const header_summary> headers{};  // its header fields, when read before the move
        long long arrived = 0;                            // its file time (the arrival), which moves keep
        std::string unchallenged{};  // why the add-in never challenges it: a kind of unchallenged_by, or ""
    };
    // Taken by take_moves(), so that a long run does not keep them all.
    std::vector<folder_move> moves;
    // What became of each challenge, by the id of the answered message:
    // "sent:ADDRESS", "withheld:KIND" (a kind of withheld_by) or "failed".
    std::map<std::string, std::string> challenges;
};
