// The user's verdicts on a sender: release its pending mail, or delete all its mail.
#include <algorithm>
#include <optional>
#include <ostream>
#include <string_view>

#include "config/configuration.h"
#include "config/data_dir.h"
#include "diag/debug_log.h"
#include "engine/message_walk.h"
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

namespace {

// The sender texts of a data file of one sender a line, in order, without repeats or blanks.
std::vector<std::string> read_sender_file(const char* name) {
    std::vector<std::string> senders;
    std::optional<std::string> content = read_file(get_data_file_path(name));
    if (!content) return senders;
    std::string_view rest = *content;
    while (!rest.empty()) {
        std::size_t end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        std::string sender(line);
        if (!sender.empty() && std::find(senders.begin(), senders.end(), sender) == senders.end())
            senders.push_back(std::move(sender));
    }
    return senders;
}

// Replaces the data file `name` by one sender a line, each ending CR LF.
template <class Senders>
bool write_sender_file(const char* name, const Senders& senders) {
    std::string bytes;
    for (std::string sender : senders) {
        // A line break inside a sender text would split it into two entries when read back.
        replace_char(sender, '\r', ' ');
        replace_char(sender, '\n', ' ');
        bytes += sender;
        bytes += "\r\n";
    }
    return replace_file_atomically(get_data_file_path(name), bytes);
}

}  // namespace

void ostrel::load_senders_to_release() {
    senders_to_release_ = read_sender_file(release_file_name);
    const std::vector<std::string> answering = read_sender_file(answer_file_name);
    unfinished_answers_ = {answering.begin(), answering.end()};
}

bool ostrel::save_senders_to_release() {
    if (write_sender_file(release_file_name, senders_to_release_)) return true;
    ++save_failures_;
    return false;
}

void ostrel::set_answer_in_progress(const std::string& sender, bool in_progress) {
    const bool changed =
        in_progress ? unfinished_answers_.insert(sender).second : unfinished_answers_.erase(sender) > 0;
    if (!changed || write_sender_file(answer_file_name, unfinished_answers_)) return;
    ++save_failures_;
    debug_log() << "FAIL: unable to write " << answer_file_name << std::endl;
}
