// tarnwick expire: moves the pending mail past its time to Trash and does nothing else, for a
// cron line where no run, deliver or watch comes by. Those do the same once per pass.
#include <iostream>

#include "cli/account_store.h"
#include "cli/commands.h"
#include "cli/filter_pass.h"
#include "cli/session.h"
#include "policy/history.h"

const char expire_usage[] =
    "usage: tarnwick expire --maildir DIR [--data-dir DIR] [--module FILE] [--wait]\n"
    "       tarnwick expire --imap URL --password-command CMD [--tls-ca FILE] [...]\n"
    "\n"
    "Moves each message that has waited in the pending folder longer than the filter's\n"
    "PendingToBlockedTimeo days to Trash, and takes its sender off the pending list, as\n"
    "run, deliver and watch do at each pass (nothing expires while AutoDeleteBlocked is\n"
    "false). Prints how many it moved, nothing when none. For a daily cron line:\n"
    "  17 4 * * *  tarnwick expire --maildir ~/Maildir\n"
    "\n"
    "  --maildir DIR     the Maildir whose pending folder is meant\n"
    "  --imap URL        the IMAP account whose pending folder is meant, with\n"
    "                    --password-command and --tls-ca as for run\n"
    "  --data-dir DIR    the filter's files are in DIR/OstrelAntiSpam\n"
    "  --module FILE     the add-in module (default: libTarnwick.so beside this program)\n"
    "  --wait            wait while another run holds the data folder or the Maildir\n";

void expire_pending_mail(addin_client& addin, filter_pass& pass) {
    if (!pass.protection) return;
    IMailerHost* mailer = static_cast<IMailerHost*>(pass.host.get());
    // The add-in expires one message a call, the oldest: a call that moved none ends it.
    for (int before = -1; before != pass.host->activity().expired && !stop_requested;) {
        before = pass.host->activity().expired;
        if (FAILED(addin.expire_oldest_pending(mailer))) ++pass.counts.unsaved;
    }
    // Its moves out of the pending folder are the filter's, no verdict of the user's.
    pass.tracker->record(*pass.host.get());
}

int cmd_expire(const parsed_arguments& arguments) {
    filter_options filter = read_filter_options(arguments, "expire");
    int code = exit_ok;
    if (!connect_account(filter, code)) return code;
    std::optional<session> running = open_session(filter.session, code);
    if (!running) return code;
    install_signal_handlers();
    filter_pass pass = begin_pass(*running, filter, false);
    addin_client& addin = *running->addin;
    expire_pending_mail(addin, pass);
    addin.object().Unload();
    end_pass(pass);
    running->addin.reset();
    const mailer_activity& activity = pass.host->activity();
    if (activity.expired > 0)
        std::cout << "tarnwick: " << activity.expired << (activity.expired == 1 ? " message" : " messages")
                  << " expired from " << pass.pending << " (moved to Trash)\n";
    for (const std::string& note : pass.counts.notes) std::cerr << "tarnwick: " << note << "\n";
    if (activity.expired > 0 &&
        !record_history(running->data_directory, history_entry_of(activity, 0, 0, pass.pending)))
        code = exit_failure;
    return finish_code(*running, pass, code);
}
