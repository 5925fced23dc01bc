#include "policy/judging.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <iostream>
#include <set>

#include "common/text.h"
#include "contract/addin_data.h"
#include "contract/sender_address.h"
#include "platform/text.h"
#include "policy/friends.h"

namespace {

// Enough for any honest header block; a longer one is read that far.
constexpr size_t header_limit = 256 * 1024;

constexpr const char* to_inbox = "inbox";
constexpr const char* to_junk = "junk";

// True when `entries` hold `address` or its whole domain (".@example.org").
bool listed(const std::vector<std::string>& entries, const std::string& address) {
    std::string domain = ".@" + address.substr(address.rfind('@') + 1);
    return std::find(entries.begin(), entries.end(), address) != entries.end() ||
           std::find(entries.begin(), entries.end(), domain) != entries.end();
}

// What same_message compares, as one key.
std::string header_key(const pending_entry& entry) {
    std::string key = entry.sender + '\n' + entry.message_id;
    if (entry.message_id.empty()) key += '\n' + entry.date + '\n' + entry.subject;
    return key;
}

}  // namespace

std::vector<std::string> verdict_report::summary_lines() const {
    std::vector<std::string> lines;
    std::string taken;
    if (!authorized.empty()) taken = "authorized " + joined(authorized);
    if (!removed.empty()) taken += (taken.empty() ? "" : "; ") + std::string("remove list ") + joined(removed);
    if (!taken.empty()) lines.push_back("judged by moving: " + taken);
    lines.insert(lines.end(), failures.begin(), failures.end());
    lines.insert(lines.end(), notes.begin(), notes.end());
    return lines;
}

void verdict_report::add(const verdict_report& other) {
    authorized.insert(authorized.end(), other.authorized.begin(), other.authorized.end());
    removed.insert(removed.end(), other.removed.begin(), other.removed.end());
    // `watch` meets the same trouble pass after pass: once is enough.
    for (const auto& [from, to] : {std::pair{&other.failures, &failures}, std::pair{&other.notes, &notes}}) {
        for (const std::string& line : *from) {
            if (std::find(to->begin(), to->end(), line) == to->end()) to->push_back(line);
        }
    }
}

pending_tracker::pending_tracker(std::string data_directory, mail_store& store, std::string pending_folder,
                                 std::string junk_folder)
    : data_directory_(std::move(data_directory)),
      store_(store),
      pending_(std::move(pending_folder)),
      junk_(std::move(junk_folder)) {
    std::string problem;
    entries_ = load_pending_index(data_directory_, problem);
    if (!problem.empty()) {
        report_.notes.push_back(problem);
        dirty_ = true;
    }
}

void pending_tracker::record(mailer_record& host) {
    for (const mailer_activity::folder_move& move : host.take_moves()) {
        auto parked = move.from == pending_ ? entries_.find(move.unique_before) : entries_.end();
        if (parked != entries_.end()) {
            if (move.to.empty()) log_entry(parked->second, decision_action::released, "its sender is authorized");
            else if (move.to == "Trash")
                log_entry(parked->second, decision_action::deleted,
                          "from the pending folder: it expired, or its sender is on the remove list");
            entries_.erase(parked);
            dirty_ = true;
        }
        if (move.to != pending_ || pending_.empty()) continue;
        // Parked by the filter: what it is, and what became of its challenge. The host read its
        // header fields before it moved it, mostly; else they are read now.
        const std::string& unique = move.id_after;
        std::shared_ptr<const header_summary> headers = move.headers;
        if (!headers) {
            std::optional<std::string> block = store_.header_block(pending_, unique, header_limit);
            // Unreadable or gone now: the next pass indexes it if it is still there.
            if (!block) continue;
            headers = std::make_shared<const header_summary>(parse_headers(*block));
        }
        // Answered before the move or after it (under a fresh name when its own was taken).
        std::optional<std::string> challenge = host.take_challenge(move.unique_before);
        if (!challenge) challenge = host.take_challenge(unique);
        long long arrived = move.arrived > 0 ? move.arrived : std::time(nullptr);
        pending_entry entry =
            entry_of(*headers, unique, std::time(nullptr), arrived,
                     challenge.value_or(move.unchallenged.empty() ? "none" : "none:" + move.unchallenged));
        // Not readable now: the next pass reads its bytes if it is still there.
        entry.bytes = store_.fingerprint(pending_, unique).value_or(message_fingerprint{});
        entries_[unique] = std::move(entry);
        dirty_ = true;
    }
}

verdict_report pending_tracker::judge_moved_messages(addin_client& addin, mailer_record& host) {
    record(host);
    verdict_report pass;
    // Without a readable pending folder every entry would seem to have left it.
    if (pending_.empty() || !store_.has_folder(pending_)) return pass;

    std::vector<mail_store::listed_message> listed = store_.list(pending_);
    std::set<std::string> present;
    for (const mail_store::listed_message& message : listed) present.insert(message.id);
    std::set<std::string> departed;
    std::map<std::string, std::string> departed_by_bytes, departed_by_header;  // to the unique name
    for (const auto& [unique, entry] : entries_) {
        if (present.count(unique)) continue;
        departed.insert(unique);
        if (entry.bytes.known()) departed_by_bytes.emplace(entry.bytes.sha256, unique);
        else departed_by_header.emplace(header_key(entry), unique);
    }
    for (const mail_store::listed_message& message : listed) {
        const std::string& unique = message.id;
        auto known = entries_.find(unique);
        if (known != entries_.end()) {
            // An entry of an older index: its bytes are read while the message is still here.
            if (!known->second.bytes.known()) {
                if (std::optional<message_fingerprint> print = store_.fingerprint(pending_, unique)) {
                    known->second.bytes = *print;
                    dirty_ = true;
                }
            }
            continue;
        }
        // Not known yet: parked before the index was kept, or an index lost. One that a server
        // renamed inside the folder keeps what was known of it.
        std::optional<std::string> block = store_.header_block(pending_, unique, header_limit);
        if (!block) continue;
        long long arrived = message.arrival.tv_sec;
        pending_entry entry = entry_of(parse_headers(*block), unique, arrived, arrived, "unknown");
        entry.bytes = store_.fingerprint(pending_, unique).value_or(message_fingerprint{});
        // By its bytes, or by its header for an entry whose bytes were never read.
        std::optional<std::string> renamed;
        auto same_bytes = departed_by_bytes.find(entry.bytes.sha256);
        if (entry.bytes.known() && same_bytes != departed_by_bytes.end()) renamed = same_bytes->second;
        auto same_header = departed_by_header.find(header_key(entry));
        if (!renamed && same_header != departed_by_header.end()) renamed = same_header->second;
        if (renamed && departed.count(*renamed)) {
            pending_entry known_entry = entries_.at(*renamed);
            entries_.erase(*renamed);
            departed.erase(*renamed);
            known_entry.unique = unique;
            known_entry.bytes = entry.bytes;
            entry = known_entry;
        }
        entries_[unique] = entry;
        dirty_ = true;
    }
    if (departed.empty()) {
        report_.add(pass);
        return pass;
    }

    // A copy in the inbox or the junk folder is the moved message only when its bytes are the
    // same. The departed messages are looked up by the sizes their copies can have, so only the
    // few messages of such a size are read, however many departed and however big the folders.
    std::map<long long, std::vector<const pending_entry*>> by_size;
    for (const std::string& unique : departed) {
        const pending_entry& entry = entries_.at(unique);
        if (!entry.bytes.known()) continue;  // never read: no verdict can be taken for it
        by_size[entry.bytes.size].push_back(&entry);
        if (entry.bytes.lines > 0) by_size[entry.bytes.size + entry.bytes.lines].push_back(&entry);
    }
    std::map<std::string, std::set<std::string>> copies;  // unique name to where its copies are
    std::vector<std::string> inbox_copies;                // the ids of the copies in the inbox
    // The message `deliver` stores now came from the mail system, not from the user's client:
    // however like the parked one it is, a sender can always send his message again.
    const std::string delivered(host.delivered_file().empty() ? "" : store_.id_of_arrival(host.delivered_file()));
    for (const char* where : {to_inbox, to_junk}) {
        if (by_size.empty() || (where == to_junk && junk_.empty())) continue;
        const std::string folder = where == to_inbox ? "" : junk_;
        for (const mail_store::listed_message& message : store_.list(folder)) {
            auto sized = by_size.find(static_cast<long long>(message.size));
            if (sized == by_size.end()) continue;
            if (!delivered.empty() && message.id == delivered) continue;
            std::optional<message_fingerprint> print = store_.fingerprint(folder, message.id);
            if (!print) continue;
            bool same = false;
            for (const pending_entry* entry : sized->second) {
                if (entry->bytes != *print) continue;
                copies[entry->unique].insert(where);
                same = true;
            }
            if (same && where == to_inbox) inbox_copies.push_back(message.id);
        }
    }
    settle_inbox_copies(inbox_copies, pass);

    std::vector<std::pair<std::string, std::string>> verdicts;  // where, unique
    for (const std::string& unique : departed) {
        const pending_entry& entry = entries_.at(unique);
        auto found = copies.find(unique);
        if (found != copies.end() && found->second.size() == 1) {
            verdicts.emplace_back(*found->second.begin(), unique);
            continue;
        }
        if (found != copies.end())
            pass.notes.push_back("a message from " + shown_text(entry.sender, 100) +
                                 " was moved both to the inbox and to the junk folder: no verdict");
        // Deleted, moved elsewhere, or not known by its bytes: no verdict.
        entries_.erase(unique);
        dirty_ = true;
    }
    if (!verdicts.empty()) {
        std::map<std::string, std::string> wanted;  // sender to where its messages went
        for (const auto& [where, unique] : verdicts) {
            auto [at, fresh] = wanted.emplace(entries_.at(unique).sender, where);
            if (!fresh && at->second != where) at->second = "both";
        }
        std::set<std::string> settled = take_verdicts(addin, host, wanted, pass, false);
        for (const auto& [where, unique] : verdicts) {
            const pending_entry& entry = entries_.at(unique);
            bool taken =
                std::find(pass.authorized.begin(), pass.authorized.end(), entry.sender) != pass.authorized.end() ||
                std::find(pass.removed.begin(), pass.removed.end(), entry.sender) != pass.removed.end();
            if (taken && where == to_inbox)
                log_entry(entry, decision_action::authorized, "you moved it to the inbox: its sender is authorized");
            else if (taken)
                log_entry(entry, decision_action::junk,
                          "you moved it to the junk folder: its sender is on the remove list");
            if (settled.count(entry.sender)) {
                entries_.erase(unique);
                dirty_ = true;
            }
        }
    }
    // The releases and deletions that the verdicts caused are the filter's.
    record(host);
    report_.add(pass);
    return pass;
}

verdict_report pending_tracker::judge_named(addin_client& addin, mailer_record& host,
                                            const std::vector<std::string>& senders, bool authorize) {
    std::map<std::string, std::string> wanted;
    for (const std::string& sender : senders) wanted.emplace(sender, authorize ? to_inbox : to_junk);
    verdict_report pass;
    if (!wanted.empty()) take_verdicts(addin, host, wanted, pass, true);
    // The releases and deletions that the verdicts caused.
    record(host);
    report_.add(pass);
    return pass;
}

std::set<std::string> pending_tracker::take_verdicts(addin_client& addin, mailer_record& host,
                                                     const std::map<std::string, std::string>& wanted,
                                                     verdict_report& pass, bool named) {
    // A verdict by moving that fails waits for the next pass; one given by name is given again.
    const std::string verdicts_are = named ? "verdicts" : "verdicts by moving";
    const std::string later = named ? "" : "; tried again by the next run";
    std::set<std::string> settled;
    std::optional<std::vector<std::string>> authorized = list_entries(addin, authorized_list_number);
    std::optional<std::vector<std::string>> removed = list_entries(addin, remove_list_number);
    if (!authorized || !removed) {
        pass.failures.push_back(verdicts_are + " not taken: the filter's lists cannot be read" + later);
        return settled;
    }
    bool released = false;
    for (const auto& [sender, where] : wanted) {
        if (where == "both") {
            pass.notes.push_back("messages from " + shown_text(sender, 100) +
                                 " were moved both to the inbox and to the junk folder: no verdict");
            settled.insert(sender);
            continue;
        }
        if (sender.empty() || extract_email_address(sender) != sender) {
            pass.notes.push_back("a message moved out of the pending folder has no usable sender (" +
                                 shown_text(sender, 100) + "): no verdict");
            settled.insert(sender);
            continue;
        }
        bool authorize = where == to_inbox;
        // Already there: the filter released it itself, or the user said so before. A verdict
        // given by name is taken again: the sender's mail may still wait.
        if (!named && listed(authorize ? *authorized : *removed, sender)) {
            settled.insert(sender);
            continue;
        }
        dispatch_arguments arguments;
        arguments.add_long(authorize ? authorized_list_number : remove_list_number).add_text(sender);
        variant_holder ignored;
        HRESULT hr = addin.invoke("AddToList", DISPATCH_METHOD, arguments, ignored.put());
        if (FAILED(hr)) {
            pass.failures.push_back(std::string(named ? "verdict" : "verdict by moving") +
                                    " not saved: " + (authorize ? "authorizing " : "putting on the remove list ") +
                                    sender + " failed (" + describe_hresult(hr) + ")" + later);
            continue;
        }
        settled.insert(sender);
        (authorize ? pass.authorized : pass.removed).push_back(sender);
        released = released || authorize;
    }
    // The add-in releases a newly authorized sender's pending mail on its next new-message call.
    if (released && FAILED(addin.object().RunWorkflow2(host.mailer(), nullptr)))
        pass.failures.push_back("after the " + verdicts_are +
                                " the filter could not save its lists (see the debug log)");
    return settled;
}

void pending_tracker::settle_inbox_copies(const std::vector<std::string>& copies, verdict_report& pass) {
    // Moved, copied or appended back, each is the user's, not new mail to park again: recorded
    // as judged, and on disk, before it leaves the arrivals (a client's APPEND leaves it there).
    if (copies.empty()) return;
    if (judged_ && judged_->exists()) {
        for (const std::string& id : copies) judged_->add(id);
        judged_->flush();
    }
    for (const std::string& id : copies) {
        store_result settled = store_.settle_appended(id);
        if (settled.what == store_result::failed)
            pass.notes.push_back("the message " + shown_text(id, 100) +
                                 " moved back into the inbox stays among the new mail (" +
                                 std::strerror(settled.error) + ")");
    }
}

void pending_tracker::log_entry(const pending_entry& entry, const char* action, const std::string& reason) {
    if (!log_) return;
    log_->write({decision_time_now(), entry.unique, entry.message_id, entry.sender, entry.subject, action, reason,
                 challenge_text(entry.challenge)});
}

bool pending_tracker::save() {
    if (!dirty_) return true;
    std::string error;
    if (!save_pending_index(data_directory_, entries_, error)) {
        verdict_report failure;
        failure.failures.push_back("the index of the pending folder was not saved: " + error);
        report_.add(failure);
        return false;
    }
    dirty_ = false;
    return true;
}

verdict_report judge_moved_messages(addin_client& addin, mailer_record& host, mail_store& store,
                                    const std::string& data_directory, const std::string& pending_folder,
                                    const std::string& junk_folder) {
    pending_tracker tracker(data_directory, store, pending_folder, junk_folder);
    tracker.judge_moved_messages(addin, host);
    tracker.save();
    return tracker.report();
}

bool forget_filter_moves(addin_client& addin, mailer_record& host, mail_store& store,
                         const std::string& data_directory) {
    if (host.activity().moves.empty()) return true;
    variant_holder name;
    if (FAILED(addin.get("PendingFolderName", name.put())) || name->vt != VT_BSTR) return true;
    pending_tracker tracker(data_directory, store, narrow_from_bstr(name->bstrVal), "");
    tracker.record(host);
    if (tracker.save()) return true;
    for (const std::string& failure : tracker.report().failures) std::cerr << "tarnwick: " << failure << "\n";
    return false;
}
