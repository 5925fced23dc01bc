// Contact import, the expiry of pending messages, the release of answered senders' mail, and
// the check for the pending folder when the host connects.
#include <cmath>
#include <cstdint>
#include <ostream>
#include <vector>

#include "config/configuration.h"
#include "diag/debug_log.h"
#include "diag/timers.h"
#include "engine/message_walk.h"
#include "engine/ostrel.h"
#include "lists/address.h"
#include "mail/accounts.h"
#include "mail/email.h"

namespace {

// Whole hours in `seconds`, truncated toward zero; a host value that is not a number or does
// not fit reads as 0 instead of being undefined.
std::int64_t whole_hours(double seconds) {
    double hours = std::trunc(seconds / 3600.0);
    if (!std::isfinite(hours) || std::fabs(hours) > 9.0e15) return 0;
    return static_cast<std::int64_t>(hours);
}

}  // namespace

bool ostrel::start_workflow_call(const char* name) {
    if (run_count_ < INT32_MAX) ++run_count_;  // saturates rather than overflow
    debug_log() << time_text() << " ostrel::" << name << "() " << run_count_ << "\n";
    if (!is_on("EnableProtection")) {
        // Both calls write run_workflow's line here.
        debug_log() << "ostrel::run_workflow() - EnableProtection == false\n";
        return false;
    }
    a_all_accounts* accounts = get_all_accounts();
    if (accounts->get_account_count() == 0) {
        debug_log() << "ostrel::" << name << "() - No account avaiable ... \n";
        return false;
    }
    current_account_ = accounts->get_account(0);
    if (!current_account_) {
        debug_log() << "ostrel::" << name << "() - no account ... \n";
        return false;
    }
    return true;
}

void ostrel::run_workflow() {
    if (!start_workflow_call("run_workflow")) return;
    handle_contacts();
    // A release that an earlier process could not finish is done when the host connects, even
    // when no new message comes.
    run_move_email_from_pending_to_incomming();
    debug_log() << time_text() << " ostrel::run_workflow() exit " << run_count_ << "\n";
}

void ostrel::handle_contacts() {
    scope_timer timer("Timer for handle_contacts", &debug_log());
    std::vector<std::string> contacts;
    if (current_account_) current_account_->get_contacts(contacts);
    // The list is written once, after the last contact: rewriting a large list per contact made
    // a first import of an address book take minutes. Nothing reads the file in between, and an
    // import cut short is repeated at the next connection.
    bool added = false;
    for (const std::string& contact : contacts) {
        if (is_in_any_list(contact)) continue;
        // Memory runs ahead of the file from here until the save below succeeds.
        if (!added) unsaved_lists_.insert(&authorized_list_);
        add_to_list(contact, authorized_list_);
        added = true;
    }
    if (added) save_list(list_file_path("ATHORIZED_LIST_FN"), authorized_list_);
    timer.stop();
    timer.write_elapsed(debug_log());
}

void ostrel::clean_pending_messages() {
    scope_timer timer("Timer for clean_pending_messages ");
    if (!is_on("AutoDeleteBlocked")) return;
    if (!load_accounts_and_emails()) return;
    a_email_folder* pending = current_account_->find_folder(pending_folder_path());
    if (!pending) return;

    const int timeout = string_to_int(configuration_->get_value("PendingToBlockedTimeo"));
    std::string sender;
    double age_seconds = 0.0;
    pending->delete_last_mail(timeout, sender, age_seconds);
    // Saved at once: a sender left in the file would come back pending after a restart, and its
    // next messages would wait unchallenged until they expire too.
    // The host may report the sender with a display name or capitals, while the list holds the
    // normalised address: drop both forms, or the sender would stay pending for good.
    bool removed = !sender.empty() && ::remove_from_list(pending_list_, sender);
    if (std::string address = extract_email_address(sender); !address.empty())
        removed = ::remove_from_list(pending_list_, address) || removed;
    if (removed) save_list(list_file_path("PENDING_LIST_FN"), pending_list_);

    debug_log() << "delete_last_mail: received " << timeout << " days ago, from: " << sender
                << ", hours since received: " << whole_hours(age_seconds) << std::endl;
    timer.stop();
    timer.write_elapsed(debug_log());
}

void ostrel::run_move_email_from_pending_to_incomming() {
    // A host that calls us back while messages move must not rebuild the folders in use.
    if (senders_to_release_.empty() || releasing_) return;
    debug_log() << "Run: void ostrel::run_move_email_from_pending_to_incomming() " << std::endl;
    struct release_guard {
        bool& flag;
        explicit release_guard(bool& f) : flag(f) { flag = true; }
        ~release_guard() { flag = false; }
        release_guard(const release_guard&) = delete;
        release_guard& operator=(const release_guard&) = delete;
    } guard(releasing_);

    // Without both folders the senders are kept for the next release.
    if (!load_accounts_and_emails()) return;
    a_email_folder* incoming = current_account_->find_incoming_folder();
    a_email_folder* pending = current_account_->find_folder(pending_folder_path());
    if (!incoming || !pending) return;
    const std::vector<std::string> senders = senders_to_release_;
    for (const std::string& sender : senders) {
        // Forgotten only once his mail has moved: mail the host could not move leaves him for
        // the next time.
        bool confirmed = confirm_answered_sender(sender);
        if (confirmed && (unsaved_lists_.count(&authorized_list_) || unsaved_lists_.count(&pending_list_))) {
            debug_log() << "run_move_email_from_pending_to_incomming - the lists of " << sender
                        << " are not written; kept for the next release" << std::endl;
            continue;
        }
        if (confirmed && !release_messages_from(*pending, *incoming, sender)) {
            debug_log() << "run_move_email_from_pending_to_incomming - mail of " << sender
                        << " is still pending; kept for the next release" << std::endl;
            continue;
        }
        std::erase(senders_to_release_, sender);
        if (!save_senders_to_release())
            debug_log() << "FAIL: run_move_email_from_pending_to_incomming, unable to write " << release_file_name
                        << std::endl;
    }
}

bool ostrel::release_messages_from(a_email_folder& pending, a_email_folder& incoming, const std::string& sender) {
    com_ptr<IEnumVARIANT> messages;
    pending.find_emails_from(sender, messages);
    if (!messages) return true;
    engine_detail::for_each_message(*messages.get(), [&](a_email& record) {
        if (is_on("MarkBlockedAsRead")) record.mark_as_unread();  // undoes the mark of move_to_pending
        incoming.move_email_to_incoming(record);
    });
    // The host's moves give no result here: what is still in the folder tells.
    com_ptr<IEnumVARIANT> left;
    pending.find_emails_from(sender, left);
    bool any_left = false;
    if (left) engine_detail::for_each_message(*left.get(), [&](a_email&) { any_left = true; });
    return !any_left;
}

void pre_condition_test() {
    std::ostream& log = debug_log();
    log << "enter pre_condition_test() " << std::endl;
    a_all_accounts* accounts = get_all_accounts();
    const int count = accounts->get_account_count();
    if (count < 1) {
        log << "pre_condition_test - get_all_counts fails " << std::endl;
        log << "end pre_condition_test() " << std::endl;
        return;
    }
    log << "pre_condition_test - get_all_counts = " << count << " OK" << std::endl;

    ostrel* engine = get_ostrel_Object();
    a_email_folder* pending = nullptr;
    if (a_email_account* account = accounts->get_account(0)) {
        pending = account->find_folder(engine->pending_folder_path());
        if (!pending) pending = account->create_folder(engine->pending_folder_name());
    }
    log << (pending ? "pre_condition_test - pending_folder ok " : "pre_condition_test - pending_folder fails ")
        << std::endl;
    log << "end pre_condition_test() " << std::endl;
}
