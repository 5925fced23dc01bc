#include "mailer/mailer_message.h"

#include <cstring>
#include <ctime>
#include <utility>

#include "common/mime.h"
#include "common/text.h"
#include "contract/sender_address.h"
#include "policy/auth_results.h"
#include "policy/reply.h"
#include "store/folder_sync.h"
#include "store/outbound.h"

namespace mailer_detail {

message_object::message_object(state_ptr owner, message_ref message)
    : com_object(&live_objects), owner_(std::move(owner)), message_(std::move(message)) {}

namespace {

// Why a change the store refused failed, for the note that says so.
std::string reason_of(const store_result& result) {
    if (!result.not_made.empty()) return "cannot make " + result.not_made + ": " + std::strerror(result.error);
    return result.error != 0 ? std::strerror(result.error) : "the file kept changing names";
}

// Whom a composed challenge goes to, as its To field says (as `sendmail -t` reads it): its one
// mailbox; "" when it names none or several.
std::string recipient_of(const std::string& challenge) {
    header_summary composed = parse_headers(challenge);
    const message_headers::field* to = composed.headers.find("To");
    std::vector<mailbox> boxes = to ? parse_mailboxes(to->raw) : std::vector<mailbox>{};
    return boxes.size() == 1 ? boxes[0].address : "";
}

}  // namespace

HRESULT message_object::put_seen(bool want_seen) {
    std::string name = message_->name();
    store_result result = message_->set_seen(want_seen);
    if (result.what == store_result::failed) {
        // The add-in goes on without it; the run must say that a read state was not kept.
        mailer_activity& activity = owner_->activity;
        ++activity.flags_failed;
        activity.notes.push_back("cannot mark " + name + (want_seen ? " read: " : " unread: ") + reason_of(result));
    }
    return hresult_of(result);
}

HRESULT message_object::move_into(const std::string& folder) {
    if (message_->folder() == folder) return message_->locate() ? S_OK : E_MESSAGE_GONE;
    std::string name = message_->name();
    std::string from = message_->folder();
    std::string unique = message_->id();
    // What an answer to a challenge wrote down (the sender's release, his authorization) must
    // last before the answer leaves the inbox for Trash.
    if (folder == trash_folder) folder_sync::flush_data_folders_written_for_message();
    // Parked from the inbox: the add-in sends no challenge for some mail at all.
    std::string unchallenged = from.empty() && folder != trash_folder ? unchallenged_reason() : "";
    store_result result = message_->move_to(folder);
    mailer_activity& activity = owner_->activity;
    if (result.ok()) {
        if (!unchallenged.empty()) ++activity.unchallenged_by[unchallenged];
        activity.moves.push_back({from, folder, unique, message_->id(), message_->headers_read(),
                                  static_cast<long long>(message_->arrival().tv_sec), unchallenged});
    } else if (result.what == store_result::failed) {
        ++activity.moves_failed;
        activity.notes.push_back("cannot move " + name + " to " + (folder.empty() ? inbox_name : folder) + ": " +
                                 reason_of(result));
    }
    return hresult_of(result);
}

bool message_object::beyond_size_limit() {
    std::uint64_t limit = owner_->options.max_message_size;
    std::optional<std::uint64_t> bytes = message_->size();
    return limit > 0 && bytes && *bytes > limit;
}

const message_content* message_object::content() {
    if (!content_) {
        if (beyond_size_limit()) {
            // Larger than the user lets the filter read: only its header counts, which is read
            // apart, and the body is never held in memory.
            content_.emplace();
        } else {
            content_ = message_->read_content();
            if (!content_) return nullptr;
        }
    }
    return &*content_;
}

std::optional<std::string> message_object::take_body() {
    // Taken once already: read again.
    if (body_taken_) content_.reset();
    if (!content()) return std::nullopt;
    body_taken_ = true;
    return std::move(content_->body);
}

user_addresses message_object::user() const {
    const store_mailer_options& options = owner_->options;
    user_addresses user{"", options.own_addresses};
    if (!options.delivered_file.empty() && owner_->store->id_of_arrival(options.delivered_file) == message_->id())
        user.recipient = options.delivered_to;
    return user;
}

std::string message_object::receiver(const header_summary& headers) const {
    user_addresses mine = user();
    // The add-in takes mail whose sender is its receiver for mail to oneself, by their bytes.
    if (is_user_address(headers.sender, mine)) return headers.sender;
    if (std::optional<std::string> address = user_address(headers, mine)) return *address;
    return headers.receiver;
}

std::string message_object::unchallenged_reason() {
    const header_summary* found = headers();
    if (!found) return "";
    if (extract_email_address(found->sender).empty()) return "no sender";
    return receiver(*found) == found->sender ? "mail to oneself" : "";
}

HRESULT message_object::reply(const std::string& subject, const std::string& body) {
    mailer_activity& activity = owner_->activity;
    const header_summary* original = headers();
    if (!original) {
        ++activity.replies_failed;
        activity.notes.push_back("challenge not sent: the message vanished");
        return E_MESSAGE_GONE;
    }
    std::string who = original->sender.empty() ? "(no sender)" : one_line(original->sender);
    // The message stays where the add-in put it (the pending folder); only the challenge is not
    // sent.
    // What gave automatic mail away, without the values the message chose (a header's value, an
    // address), so that the summary folds it.
    auto automatic_mail_kind = [](const std::string& reason) {
        std::string kind = reason.substr(0, reason.find_first_of(":("));
        if (size_t at = kind.find('@'); at != std::string::npos) kind = kind.substr(0, kind.rfind(' ', at));
        return trimmed(kind);
    };
    auto withhold = [&](const std::string& kind, const std::string& reason) {
        ++activity.replies_withheld;
        ++activity.withheld_by[kind];
        ++activity.withheld_in_detail[kind == "automatic mail" ? automatic_mail_kind(reason) : kind];
        activity.challenges[message_->id()] = "withheld:" + kind;
        activity.notes.push_back("challenge to " + who + " withheld: " + reason);
        return E_ABORT;
    };
    const store_mailer_options& options = owner_->options;
    if (beyond_size_limit())
        return withhold("too large", "the message has " + std::to_string(message_->size().value_or(0)) +
                                         " bytes, more than " + std::to_string(options.max_message_size));
    if (!message_->starts_with_header_field()) return withhold("not mail", "the message has no header fields");
    if (std::optional<std::string> reason = reason_not_to_answer(*original)) return withhold("automatic mail", *reason);
    if (!options.trusted_authserv.empty()) {
        auth_verdict verdict = authentication_verdict(original->headers, original->sender, options.trusted_authserv);
        if (!verdict.authenticated)
            return withhold(verdict.reason.rfind("no trusted", 0) == 0 ? verdict.reason : "not authenticated",
                            verdict.reason);
    }
    user_addresses mine = user();
    if (!user_address(*original, mine))
        return withhold("no own address", "no address of the user's to send it from (set own-address)");
    std::time_t now = std::time(nullptr);
    challenge_budget* budget = owner_->budget.get();
    if (budget && budget->spent(now)) return withhold("challenge budget spent", "challenge budget spent");
    // A run that ended before the add-in noted the sender as pending challenged him already.
    std::string address = extract_email_address(original->sender);
    challenge_record* under_way = address.empty() ? nullptr : owner_->under_way.get();
    if (const challenge_intent* earlier = under_way ? under_way->find_address(address) : nullptr)
        return withhold("already challenged", earlier->message == message_->id()
                                                  ? "a run that ended early challenged this message already"
                                                  : "a run that ended early challenged this sender already");
    std::string error;
    std::optional<std::string> answer = compose_reply(*original, subject, body, error, mine);
    // Written down before it is stored or sent, so that the next run knows of it whatever ends
    // this one; a challenge that cannot be written down is not sent.
    bool stored = !options.smtp_server && options.sendmail_command.empty();
    std::string challenge_name = stored ? owner_->store->new_id() : "";
    if (answer && under_way && !under_way->add({message_->id(), address, now, challenge_name}, error)) answer.reset();
    bool sent = false;
    if (answer && options.smtp_server) {
        // As for the command: once the server took it, it is sent.
        sent = submit_message(*options.smtp_server, options.smtp_password, options.smtp, recipient_of(*answer), *answer,
                              error);
    } else if (answer && !options.sendmail_command.empty()) {
        sent = send_with_command(options.sendmail_command, *answer, error);
    } else if (answer) {
        // Stored as delivered mail is: the return path of a challenge is the null sender.
        sent = owner_->store->store(outbox_folder, challenge_name, "Return-Path: <>\n" + *answer, error);
    }
    if (answer && under_way) {
        // One that failed is not tried again: the add-in parks the message all the same.
        if (sent) owner_->challenges_begun.push_back(message_->id());
        else if (std::string not_forgotten; !under_way->forget({message_->id()}, not_forgotten))
            activity.notes.push_back(not_forgotten);
    }
    if (!sent) {
        ++activity.replies_failed;
        activity.challenges[message_->id()] = "failed";
        activity.notes.push_back("challenge to " + who + " failed: " + error);
        return E_FAIL;
    }
    ++activity.replies_sent;
    activity.challenges[message_->id()] = "sent:" + who;
    // In a pass the file is flushed to disk once, at its end (store_mailer::save_budget): until
    // then the challenges sent are counted for every reader, and a crash could lose at most
    // this pass's count.
    if (budget && !budget->record(now, error, !folder_sync::deferring())) {
        // Sent all the same; the budget of later runs is short of this one.
        ++activity.budget_not_saved;
        activity.notes.push_back(error);
    }
    return S_OK;
}

}  // namespace mailer_detail
