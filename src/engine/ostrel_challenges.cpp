// Challenges to unknown senders, and the answers that authorize them.
#include <ostream>

#include "config/configuration.h"
#include "diag/debug_log.h"
#include "engine/challenge_text.h"
#include "engine/ostrel.h"
#include "engine/subject_key.h"
#include "lists/address.h"
#include "mail/email.h"

bool ostrel::handle_authorization(a_email& record) {
    std::ostream& log = debug_log();
    log << "handle_authorization" << std::endl;
    if (is_authorized(record)) return true;
    // The order is fixed: challenge, then move, then list; a challenge that cannot be sent
    // stops neither of the others.
    log << "handle_authorization, 2" << std::endl;
    send_authorization_request(record);
    log << "handle_authorization, 3" << std::endl;
    move_to_pending(record);
    log << "handle_authorization, 4" << std::endl;
    add_to_pending_list(record);
    log << "handle_authorization, 5" << std::endl;
    return true;
}

void ostrel::send_authorization_request(a_email& record) {
    std::ostream& log = debug_log();
    const std::string subject = record.get_subject();
    const std::string sender = record.get_sender();
    log << "send_authorization_request, 1, to: " << sender << ", subj: " << subject << std::endl;
    if (extract_email_address(sender).size() < 3) {
        log << "send_authorization_request - bad email address : '" << sender << "'" << std::endl;
        return;
    }
    log << "send_authorization_request, 2" << std::endl;
    std::string challenge_subject = setting_text(configuration_->get_value("ARSubject"));
    // The body may name the held message, so that its sender knows which of his mails waits.
    std::string challenge_body =
        engine_detail::fill_challenge_placeholders(setting_text(configuration_->get_value("ARMessage")), record);
    log << "send_authorization_request, 3" << std::endl;
    record.a_reply(challenge_subject, challenge_body);
    log << "send_authorization_request, 4" << std::endl;
}

bool ostrel::handle_add_to_list_request(a_email& record) {
    if (!engine_detail::contains_key(record.get_subject(), subject_key())) return false;
    const std::string sender = record.get_sender();
    // Only a sender who was challenged, and whose challenge has not expired, can answer it: the
    // key in a subject alone proves nothing (it may have been guessed, or learnt from another
    // challenge). An answer an earlier process began has already taken him off the pending list.
    if (!is_in_pending_list(sender) && unfinished_answers_.count(sender) == 0) return false;
    // The answer and the release are written down first: a process that ends at any later step
    // leaves the sender to the next one, which authorizes him, releases his mail and still takes
    // his answer for one.
    set_answer_in_progress(sender, true);
    remember_sender_to_release(sender);
    add_to_authorized_list(sender);
    // The raw text: an entry is dropped only when the host's sender text is the bare address.
    remove_from_list(pending_list_, sender);
    save_list(list_file_path("PENDING_LIST_FN"), pending_list_);
    block_message(record);
    set_answer_in_progress(sender, false);
    return true;
}

bool ostrel::is_unfinished_answer(a_email& record) {
    return !unfinished_answers_.empty() && unfinished_answers_.count(record.get_sender()) > 0 &&
           engine_detail::contains_key(record.get_subject(), subject_key());
}

bool ostrel::confirm_answered_sender(const std::string& sender) {
    if (is_in_remove_list(sender) || is_in_ignore_list(sender)) return false;
    // A list whose last save failed is written again: the sender is forgotten only once his
    // verdict is in the files.
    if (!is_authorized(sender) || unsaved_lists_.count(&authorized_list_)) add_to_authorized_list(sender);
    bool dropped = ::remove_from_list(pending_list_, sender);
    if (std::string address = extract_email_address(sender); !address.empty() && address != sender)
        dropped = ::remove_from_list(pending_list_, address) || dropped;
    if (dropped || unsaved_lists_.count(&pending_list_)) save_list(list_file_path("PENDING_LIST_FN"), pending_list_);
    return true;
}
