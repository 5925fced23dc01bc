// One new message: the classification ladder and its bounce rung.
#include <cstdint>
#include <memory>
#include <ostream>

#include "config/configuration.h"
#include "diag/debug_log.h"
#include "engine/ostrel.h"
#include "mail/accounts.h"
#include "mail/email.h"

void ostrel::run_workflow2(const VARIANT& message) {
    if (!start_workflow_call("run_workflow2")) return;

    if (message.vt != VT_UNKNOWN || message.punkVal == nullptr) {
        debug_log() << "ostrel::run_workflow2() - not a message object" << std::endl;
    } else if (std::unique_ptr<a_email> record = make_email(message)) {
        handle_email(*record);
    }
    // (Without a mailer make_email has logged its own FAIL line.)
    debug_log() << time_text() << " ostrel::run_workflow2() exit " << run_count_ << "\n";
}

void ostrel::handle_email(a_email& record) {
    std::ostream& log = debug_log();
    log << record << std::endl;
    const std::string sender = record.get_sender();
    const std::string receiver = record.get_receiver();

    if (is_in_remove_list(record)) {
        block_message(record);
        log << "handle_email: email is remove list : " << sender << std::endl;
    } else if (is_in_ignore_list(record)) {
        block_message(record);
        log << "handle_email: email is ignore list : " << sender << std::endl;
    } else if (is_MAILERDAEMON_subject(record.get_subject())) {
        log << "\n\n==================================================>"
            << "\n\nHandle mailer deamon message\n"
            << record << std::endl;
        if (is_reply_for_chalange_request(record)) {
            log << "handle_email: MAILERDAEMON Message , Delete bounced reply to chalange request: " << sender
                << "\n===============\n\n"
                << std::endl;
            block_message(record);
        } else {
            log << "handle_email: MAILERDAEMON Message , Not Deleteing bounce email that is not a reply to "
                   "chalange request   : "
                << sender << "\n===============\n\n"
                << std::endl;
        }
    } else if (sender == receiver) {
        log << "handle_email: sender == reciver, put email in pending list : " << sender << std::endl;
        move_to_pending(record);
    } else if (run_count_ == 1 && record.is_already_read()) {
        insert_already_read(sender);
        log << "handle_email: insert email to already read : " << sender << std::endl;
    } else if (is_authorized(record) && !is_unfinished_answer(record)) {
        log << "handle_email: email is in authorized list : " << sender << std::endl;
    } else if (contains_already_read(sender)) {
        log << "handle_email: skipping already read mail : " << sender << std::endl;
    } else if (handle_add_to_list_request(record)) {
        log << "handle_email: email is add to list request : " << sender << std::endl;
    } else if (is_in_pending_list(record)) {
        log << "handle_email: email is in pending list : " << sender << std::endl;
        move_to_pending(record);
    } else {
        log << "handle_email: send chalange request to: " << sender << std::endl;
        handle_authorization(record);
    }
}
