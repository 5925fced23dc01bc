// Judging pending mail by moving it, as any IMAP client can: a message the user moves from the
// pending folder into the inbox authorizes its sender (whose other pending mail the filter then
// releases), one moved into the junk folder puts its sender on the remove list, and one deleted
// or moved anywhere else is no verdict. The filter's own moves out of the pending folder
// (releases, expiry, deletions) are never taken for the user's.
//
// A server gives a moved message a new id, and a client may copy it or append it anew, so each
// message of the pending folder is remembered in the data folder's index (pending_index.h) by its
// size and a hash of its bytes: a copy is the moved message only when its bytes are the same,
// never for a Message-ID or sender, which anyone can copy. Only when one has left the pending
// folder are the inbox and the junk folder looked at, and only their messages of a size a
// departed message has are read. All of it goes through the store (store/mail_store.h).
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

#include "common/addin_client.h"
#include "policy/decision_log.h"
#include "policy/judged_inbox.h"
#include "policy/mailer_record.h"
#include "policy/pending_index.h"
#include "store/mail_store.h"

// The verdicts taken, and those that could not be.
struct verdict_report {
    std::vector<std::string> authorized;  // senders put on the authorized list
    std::vector<std::string> removed;     // senders put on the remove list
    std::vector<std::string> failures;    // what was not done or not saved, one line each
    std::vector<std::string> notes;       // what else the user should know

    bool failed() const { return !failures.empty(); }
    // "judged by moving: authorized a@x; remove list c@z", then each failure and note; empty
    // when there is nothing to say.
    std::vector<std::string> summary_lines() const;
    void add(const verdict_report& other);
};

class pending_tracker {
public:
    // For the store `store` whose pending and junk folders are `pending_folder` and `junk_folder`
    // (the junk folder may be "" for none), with the index in `data_directory`, which is read
    // here. The store must outlive the tracker.
    pending_tracker(std::string data_directory, mail_store& store, std::string pending_folder, std::string junk_folder);

    // Before new mail is filtered: indexes the pending folder's messages not yet known, and
    // takes the verdict of each message that has left it since the last pass. A verdict whose
    // list could not be written stays for the next pass. Returns this pass's report.
    verdict_report judge_moved_messages(addin_client& addin, mailer_record& host);
    // The user's verdicts given by name (`tarnwick pending approve|reject`) on the senders of
    // messages of the pending folder: the same verdicts as moving their mail to the inbox
    // (`authorize`) or the junk folder, taken even for a sender listed already, so that his mail
    // is released or deleted all the same. The entries of the mail the filter then moves go
    // (record). Returns the report of these verdicts.
    verdict_report judge_named(addin_client& addin, mailer_record& host, const std::vector<std::string>& senders,
                               bool authorize);
    // After a message is handled: the filter's moves into the pending folder add entries (with
    // what became of the challenge), its moves out of it drop theirs.
    void record(mailer_record& host);
    // Saves the index when it changed; a failure goes into the report. False when not saved.
    bool save();

    // Where the verdicts and the filter's moves out of the pending folder are written, one line
    // per message; null (the default) for nowhere. The log must outlive the tracker.
    void log_to(decision_log* log) { log_ = log; }
    // Where the copies that the user put into the inbox are recorded as judged, so that no pass
    // filters them as new mail; null (the default) for nowhere. It must outlive the tracker.
    void record_copies_in(judged_inbox* judged) { judged_ = judged; }

    // Everything over this tracker's life.
    const verdict_report& report() const { return report_; }
    const std::map<std::string, pending_entry>& entries() const { return entries_; }

private:
    // The log's line for the pending folder's message `entry`.
    void log_entry(const pending_entry& entry, const char* action, const std::string& reason);
    // Takes the verdict `wanted` says for each sender ("inbox", "junk" or "both", which is none);
    // `named` for verdicts given by name. Returns the senders settled: judged now, or needing no
    // verdict (listed already, or without a usable address).
    std::set<std::string> take_verdicts(addin_client& addin, mailer_record& host,
                                        const std::map<std::string, std::string>& wanted, verdict_report& pass,
                                        bool named);

    // The user's copies in the inbox `copies` (by id): recorded as judged, then settled in the
    // store, so that they are no arrivals.
    void settle_inbox_copies(const std::vector<std::string>& copies, verdict_report& pass);

    std::string data_directory_;
    mail_store& store_;
    std::string pending_;
    std::string junk_;
    std::map<std::string, pending_entry> entries_;
    bool dirty_ = false;
    verdict_report report_;
    decision_log* log_ = nullptr;
    judged_inbox* judged_ = nullptr;
};

// One whole judging pass on its own: the index read, the verdicts taken, the index saved. A
// program that then hands the add-in a message keeps a pending_tracker instead and calls its
// record() after the message and save() at the end, so that what the filter parks is indexed
// with its challenge (else the next pass indexes it with the challenge "unknown").
verdict_report judge_moved_messages(addin_client& addin, mailer_record& host, mail_store& store,
                                    const std::string& data_directory, const std::string& pending_folder,
                                    const std::string& junk_folder);
// For a program that moved mail of `store` through `host` without judging: drops the
// index entries of the messages the filter moved out of the pending folder, whose name the add-in
// gives. False, after saying why on standard error, when the index could not be saved.
bool forget_filter_moves(addin_client& addin, mailer_record& host, mail_store& store,
                         const std::string& data_directory);
