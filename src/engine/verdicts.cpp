// The user's verdicts on a sender: release its pending mail, or delete all its mail.
#include <algorithm>
#include <optional>
#include <ostream>
#include <string_view>

#include "config/configuration.h"
#include "config/data_dir.h"
#include "diag/debug_log.h"
#include "engine/messages_internal.h"
#include "engine/ostrel.h"
#include "mail/accounts.h"
#include "mail/email.h"
#include "platform/file_io.h"

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
    // Remembered even without an account: the release finds his mail when the host connects.
    remember_sender_to_release(address);
    current_account_ = get_all_accounts()->get_account(0);
    if (!current_account_) log << "ostrel::marked_as_not_spam_by_user() - no account ... \n";
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
    if (sender.empty()) return;
    if (std::find(senders_to_release_.begin(), senders_to_release_.end(), sender) != senders_to_release_.end()) return;
    senders_to_release_.push_back(sender);
    if (!save_senders_to_release())
        debug_log() << "FAIL: remember_sender_to_release, unable to write " << release_file_name << std::endl;
}

void ostrel::load_senders_to_release() {
    senders_to_release_.clear();
    std::optional<std::string> content = read_file(get_data_file_path(release_file_name));
    if (!content) return;
    std::string_view rest = *content;
    while (!rest.empty()) {
        std::size_t end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        std::string sender(line);
        if (!sender.empty() &&
            std::find(senders_to_release_.begin(), senders_to_release_.end(), sender) == senders_to_release_.end())
            senders_to_release_.push_back(std::move(sender));
    }
}

bool ostrel::save_senders_to_release() {
    std::string bytes;
    for (std::string sender : senders_to_release_) {
        // A line break inside a sender text would split it into two entries when read back.
        replace_char(sender, '\r', ' ');
        replace_char(sender, '\n', ' ');
        bytes += sender;
        bytes += "\r\n";
    }
    if (replace_file_atomically(get_data_file_path(release_file_name), bytes)) return true;
    ++save_failures_;
    return false;
}
