// The user's verdicts on a sender: release its pending mail, or delete all its mail.
#include <algorithm>
#include <ostream>

#include "diag/debug_log.h"
#include "engine/messages_internal.h"
#include "engine/ostrel.h"
#include "mail/accounts.h"
#include "mail/email.h"

void ostrel::marked_as_spam_by_user(const std::string& address) {
    std::ostream& log = debug_log();
    log << "ostrel::marked_as_spam_by_user()\n";
    if (!is_on("EnableProtection")) {
        log << "ostrel::handle_marked_as_spam_by_user() - EnableProtection == false\n";
        return;
    }
    load_accounts_and_emails();
    current_account_ = get_all_accounts()->get_account(0);
    if (!current_account_) {
        log << "ostrel::marked_as_spam_by_user() - no account ... \n";
        return;
    }
    block_messages_from(current_account_->find_incoming_folder(), address);
    block_messages_from(current_account_->find_folder(pending_folder_path()), address);
}

void ostrel::marked_as_not_spam_by_user(const std::string& address) {
    std::ostream& log = debug_log();
    log << "ostrel::marked_as_not_spam_by_user()\n";
    if (!is_on("EnableProtection")) {
        log << "ostrel::handle_marked_as_not_spam_by_user() - EnableProtection == false\n";
        return;
    }
    current_account_ = get_all_accounts()->get_account(0);
    if (!current_account_) {
        log << "ostrel::marked_as_not_spam_by_user() - no account ... \n";
        return;
    }
    remember_sender_to_release(address);
}

void ostrel::challange_response(const std::string& /*address*/) {}

void ostrel::block_messages_from(a_email_folder* folder, const std::string& address) {
    if (!folder) return;
    com_ptr<IEnumVARIANT> messages;
    folder->find_emails_from(address, messages);
    if (!messages) return;
    engine_detail::for_each_message(*messages.get(), [this](a_email& record) { block_message(record); });
}

void ostrel::remember_sender_to_release(const std::string& sender) {
    if (std::find(senders_to_release_.begin(), senders_to_release_.end(), sender) == senders_to_release_.end())
        senders_to_release_.push_back(sender);
}
