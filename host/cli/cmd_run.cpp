// tarnwick run: hand every new message of a Maildir's inbox to the add-in, as a mail client does
// for each message that arrives (`watch`, which then stays up, is in cmd_watch.cpp).
#include <unistd.h>

#include <chrono>
#include <iostream>

#include "cli/account_store.h"
#include "cli/commands.h"
#include "cli/dry_run.h"
#include "cli/filter_pass.h"
#include "cli/session.h"
#include "policy/history.h"

const char run_usage[] =
    "usage: tarnwick run --maildir DIR [--contacts FILE] [--sendmail CMD]\n"
    "                    [--sent-folder NAME] [--own-address ADDRESS]...\n"
    "                    [--trusted-authserv ID]... [--challenge-limit N]\n"
    "                    [--max-message-size BYTES] [--data-dir DIR] [--module FILE]\n"
    "                    [--wait] [--dry-run] [--quiet]\n"
    "       tarnwick run --imap URL --password-command CMD [--smtp URL] [--tls-ca FILE]\n"
    "                    (and the options above but --maildir)\n"
    "       tarnwick watch (the same options but --dry-run, and --lock-timeout SECONDS)\n"
    "\n"
    "Hands every unread message of the inbox that it has not judged yet to the filter, oldest\n"
    "first, then prints what happened. Kept mail stays new; read mail is never touched, nor\n"
    "is what the inbox held when the filter first ran. `watch` then stays up and handles each\n"
    "new arrival until it gets SIGINT or SIGTERM.\n"
    "\n"
    "  --maildir DIR     the Maildir whose inbox is filtered (Maildir++ folders below it)\n"
    "  --imap URL        filter the INBOX of this IMAP account instead of a Maildir:\n"
    "                    imaps://USER@HOST[:PORT] (TLS), or imap://USER@HOST[:PORT]\n"
    "                    (STARTTLS, then required; without TLS only on a loopback address)\n"
    "  --smtp URL        send challenges by SMTP submission, smtps://[USER@]HOST[:PORT] or\n"
    "                    smtp://... (STARTTLS), as the IMAP user unless the URL names one;\n"
    "                    without it they are stored in the Outbox folder on the server\n"
    "  --password-command CMD\n"
    "                    the command (run by /bin/sh) that prints the account's password\n"
    "                    on its first line, such as \"pass show mail\"; needed with --imap\n"
    "  --tls-ca FILE     trust the certificate authorities of this PEM file instead of the\n"
    "                    system's; certificates are always checked\n"
    "  --contacts FILE   the address book: a vCard file, a folder of .vcf files, or a text\n"
    "                    file with one address per line; imported into the authorized list\n"
    "  --sendmail CMD    send challenges with this sendmail-compatible command (run by\n"
    "                    /bin/sh, the message on its standard input), for example\n"
    "                    \"/usr/sbin/sendmail -t -oi\"; by default they are stored in the\n"
    "                    Outbox folder of the Maildir; either way with the null\n"
    "                    envelope sender (the command gets -f '<>' unless it names -f)\n"
    "  --sent-folder NAME  the folder of the mail the user sent (default: the first of\n"
    "                    .Sent, .Sent Messages and .Sent Items); its recipients, and\n"
    "                    whoever answers that mail, are added to the authorized list\n"
    "  --own-address ADDRESS\n"
    "                    your own address, such as me@home.example; repeat it or give a\n"
    "                    comma-separated list, the first the default. Challenges come from\n"
    "                    deliver's envelope recipient, else the one of these the message was\n"
    "                    delivered or written to, else the first; never from an address of\n"
    "                    the message that is not yours. Mail from one of them is mail to\n"
    "                    oneself: parked, never challenged. Unset, only deliver challenges\n"
    "  --trusted-authserv ID\n"
    "                    challenge only senders that the mail server writing\n"
    "                    Authentication-Results with this id authenticated (dmarc=pass,\n"
    "                    or spf or dkim passing for the From domain's organisation); only\n"
    "                    its topmost field above the first Received field counts. Repeat it\n"
    "                    or give a comma-separated list. Unset, nothing is gated\n"
    "  --challenge-limit N\n"
    "                    at most N challenges an hour, across runs (default 30)\n"
    "  --max-message-size BYTES\n"
    "                    never challenge the sender of larger mail (default 64M; K, M and G\n"
    "                    suffixes); nor of empty input or input that is not mail\n"
    "  --data-dir DIR    keep the filter's files in DIR/OstrelAntiSpam instead of\n"
    "                    $XDG_DATA_HOME/OstrelAntiSpam\n"
    "  --module FILE     the add-in module (default: $TARNWICK_MODULE, else libTarnwick.so\n"
    "                    beside this program, else in " TARNWICK_MODULE_DIR
    " from its folder)\n"
    "  --wait            wait while another run holds the data folder or the Maildir,\n"
    "                    instead of giving up\n"
    "  --lock-timeout SECONDS\n"
    "                    watch: how long a batch of arrivals waits for the data folder and\n"
    "                    the Maildir before it tries again later (default 60)\n"
    "  --dry-run         tell what would become of each new message and which challenges\n"
    "                    would go out, changing nothing: the run works on a scratch copy\n"
    "                    of the Maildir and the data folder, and sends no mail\n"
    "  --quiet           print only what failed: no summary when all went well, no\n"
    "                    progress on a terminal (deliver is quiet already)\n";

namespace {

// "message 12 of 340" on standard error while a long run goes on, when it is a terminal.
class progress_line {
public:
    explicit progress_line(bool quiet) : terminal_(!quiet && ::isatty(2) != 0), started_(clock::now()) {}
    void update(size_t done, size_t total) {
        if (!terminal_) return;
        auto now = clock::now();
        if (now - started_ < std::chrono::seconds(1) || now - last_ < std::chrono::milliseconds(100)) return;
        last_ = now;
        shown_ = true;
        std::cerr << "\rtarnwick: message " << done << " of " << total << std::flush;
    }
    void finish() {
        if (shown_) std::cerr << "\r\033[K" << std::flush;
        shown_ = false;
    }

private:
    using clock = std::chrono::steady_clock;
    bool terminal_;
    bool shown_ = false;
    clock::time_point started_;
    clock::time_point last_{};
};

}  // namespace

int cmd_run(const parsed_arguments& arguments) {
    filter_options filter = read_filter_options(arguments, "run");
    store_mailer_options& options = filter.host;
    session_settings& settings = filter.session;

    // A dry run is the real one on a copy, which is removed after it; sending is left out.
    std::optional<scratch_copy> scratch;
    std::optional<dry_run_view> dry;
    if (arguments.has("--dry-run")) {
        // A signal while the copy is made must not leave it behind.
        install_signal_handlers();
        std::string error;
        // An account's store is only read, and keeps what it would change in memory.
        scratch = filter.remote ? scratch_copy::of_data_folder(data_directory_of(settings.data_home), error)
                                : scratch_copy::make(filter.root, data_directory_of(settings.data_home), error);
        if (!scratch || stop_requested) {
            std::cerr << "tarnwick: dry run: " << (scratch ? "stopped by a signal" : error) << "\n";
            return exit_failure;
        }
        dry = dry_run_view{filter.remote ? filter.remote->imap.text() : filter.root, sending_of(options)};
        if (filter.remote) {
            filter.dry_run = true;
        } else {
            filter.recorded_root = filter.root;
            filter.root = settings.maildir = scratch->maildir();
        }
        settings.data_home = scratch->data_home();
        options.sendmail_command.clear();
        options.smtp_server.reset();
        options.smtp_password.clear();
    }

    // Nothing has been written up to here; a login the server refuses changes nothing.
    int code = exit_ok;
    if (!connect_account(filter, code)) return code;
    std::optional<session> running = open_session(settings, code);
    if (!running) return code;
    install_signal_handlers();

    filter_pass pass = begin_pass(*running, filter, true, filter.quiet);
    pass.counts.keep_handled = dry.has_value();
    com_ptr<store_mailer>& host = pass.host;
    run_counts& counts = pass.counts;
    friend_finder& friends = *pass.friends;
    addin_client& addin = *running->addin;
    if (pass.protection) before_new_mail(addin, pass);
    expire_pending_mail(addin, pass);
    std::vector<std::string> arrivals = unjudged_arrivals(pass, true);
    progress_line progress(filter.quiet);
    for (size_t i = 0; i < arrivals.size() && !stop_requested; ++i) {
        progress.update(i + 1, arrivals.size());
        filter_message(addin, pass, arrivals[i]);
    }
    progress.finish();
    if (stop_requested) std::cerr << "tarnwick: stopped by a signal\n";
    addin.object().Unload();
    end_pass(pass);

    std::string sending = dry ? dry->sending : sending_of(options);
    running->addin.reset();  // the module lets go of the host before the summary is read
    if (dry) print_dry_run_fates(filter.remote ? "" : filter.root, counts.handled, !dry->sending.empty());
    bool failed = counts.failed(host->activity()) || friends.failed() || pass.tracker->report().failed() ||
                  !running->files_not_written().empty();
    if (!filter.quiet || failed || dry)
        print_summary(*host.get(), counts, friends, pass.pending, sending, *running, pass.protection,
                      !options.trusted_authserv.empty(), dry ? &*dry : nullptr);
    // The mail is filtered whatever becomes of the figures; a history that was not saved fails the run.
    if (!dry && !record_history(running->data_directory,
                                history_entry_of(host->activity(), counts.seen, counts.kept, pass.pending)))
        code = code == exit_ok ? exit_failure : code;
    return finish_code(*running, pass, code);
}
