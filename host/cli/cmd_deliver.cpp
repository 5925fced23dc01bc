// tarnwick deliver: the delivery agent. Writes the message on standard input aside (tmp/),
// filters it as `run` would, and only then puts it where it belongs: new mail in the inbox when
// kept, straight into its folder otherwise. A mail system runs it and reads only its exit status: 0
// once the message is stored, 75 (EX_TEMPFAIL) when it is not, so that the mail system keeps the
// message and tries again. Nothing here may bounce mail: a bounce is lost to the user.
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <iostream>

#include "cli/commands.h"
#include "cli/filter_pass.h"
#include "cli/session.h"
#include "platform/posix_files.h"
#include "policy/history.h"
#include "store/delivery.h"

const char deliver_usage[] =
    "usage: tarnwick deliver [-f SENDER] [-a RECIPIENT] [--maildir DIR] [--lock-timeout SECONDS]\n"
    "                        [the options of run but --wait and --dry-run]\n"
    "\n"
    "Filters the message on standard input as `tarnwick run` would before it shows anywhere,\n"
    "then stores it: kept mail in the inbox's new/ folder, the rest straight in the folder\n"
    "the filter chose. For procmail, maildrop, Postfix's mailbox_command, a .forward pipe or\n"
    "a Sieve pipe.\n"
    "\n"
    "  -f SENDER         the envelope sender (default: $SENDER; '' or '<>' for the null\n"
    "                    sender, a bounce: never challenged); written as Return-Path in\n"
    "                    place of any the message brought\n"
    "  -a RECIPIENT      the envelope recipient (default: $RECIPIENT, else\n"
    "                    $ORIGINAL_RECIPIENT or $ORIG_RECIPIENT); written as Delivered-To,\n"
    "                    and the address a challenge comes from (else --own-address)\n"
    "  --lock-timeout SECONDS\n"
    "                    how long to wait while another run holds the data folder or the\n"
    "                    Maildir (default 60); then nothing is stored and the exit status is 75\n"
    "  --max-message-size BYTES\n"
    "                    larger mail is stored and filtered but never challenged (default\n"
    "                    64M; K, M and G suffixes); empty input and input that is not mail\n"
    "                    are stored and never challenged either\n"
    "\n"
    "Prints nothing when all went well. Exit status: 0 the message is stored (when the filter\n"
    "could not finish, one line on standard error says so and the message waits in new/ for\n"
    "the next run); 75 (EX_TEMPFAIL) it is not stored, for any reason, a wrong argument or\n"
    "settings file included: the mail system keeps it and tries again later.\n";

namespace {

constexpr int default_lock_timeout = 60;

// The value of `name` in the environment, or none when it is not set.
std::optional<std::string> environment(const char* name) {
    const char* value = std::getenv(name);
    if (!value) return std::nullopt;
    return std::string(value);
}

// An address given for the envelope: validated, or refused with a line on stderr.
std::optional<std::string> checked_address(const std::optional<std::string>& given, const char* what) {
    if (!given) return std::nullopt;
    std::optional<std::string> address = envelope_address(*given);
    if (!address)
        std::cerr << "tarnwick: the " << what
                  << " has control characters, blanks or angle brackets, so it is not written into the message\n";
    return address;
}

// Takes -f and -a (the short options of delivery agents: "-f X" or "-fX") out of `args`.
envelope read_envelope(std::vector<std::string>& args) {
    std::optional<std::string> sender, recipient;
    std::vector<std::string> rest;
    bool options_ended = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--") options_ended = true;
        if (options_ended || arg.size() < 2 || arg[0] != '-' || (arg[1] != 'f' && arg[1] != 'a')) {
            rest.push_back(arg);
            continue;
        }
        std::optional<std::string>& target = arg[1] == 'f' ? sender : recipient;
        if (target) throw usage_error(arg.substr(0, 2) + " is given twice");
        if (arg.size() > 2) {
            target = arg.substr(2);
        } else {
            if (i + 1 >= args.size()) throw usage_error(arg + " needs a value");
            target = args[++i];
        }
    }
    args = std::move(rest);
    if (!sender) sender = environment("SENDER");
    if (!recipient) recipient = environment("RECIPIENT");
    if (!recipient || recipient->empty()) recipient = environment("ORIGINAL_RECIPIENT");
    if (!recipient || recipient->empty()) recipient = environment("ORIG_RECIPIENT");  // Dovecot's Sieve pipe
    if (recipient && recipient->empty()) recipient.reset();
    return envelope{checked_address(sender, "envelope sender"), checked_address(recipient, "envelope recipient")};
}

// Filters the message stored as `name`: true when the filter did and kept all it had to.
// `placed` tells whether the filter moved it out of tmp/.
bool filter_stored(session& running, const filter_options& filter, const std::string& name, bool& placed) {
    filter_pass pass = begin_pass(running, filter, true, true);
    pass.delivering = true;
    addin_client& addin = *running.addin;
    if (pass.protection) before_new_mail(addin, pass);
    expire_pending_mail(addin, pass);
    filter_message(addin, pass, name);
    addin.object().Unload();
    end_pass(pass);
    placed = pass.maildir->delivery_placed();
    // No summary at delivery: what judging could not do is said on standard error.
    for (const std::string& failure : pass.tracker->report().failures) std::cerr << "tarnwick: " << failure << "\n";
    if (pass.log->failed()) std::cerr << "tarnwick: " << pass.log->problem() << "\n";
    running.addin.reset();
    bool saved = record_history(running.data_directory, history_entry_of(pass.host->activity(), pass.counts.seen,
                                                                         pass.counts.kept, pass.pending));
    return saved && !pass.counts.failed(pass.host->activity()) && !pass.friends->failed() &&
           !pass.tracker->report().failed() && !pass.log->failed() && running.files_not_written().empty();
}

}  // namespace

int cmd_deliver(const std::vector<std::string>& given) {
    std::string root;
    std::optional<stored_message> message;
    bool placed = false;  // moved out of tmp/ by the filter
    // Whatever the filter did not place is new mail, for the next run to filter.
    auto finish = [&]() {
        bool in_tmp = ::access(message->temporary.c_str(), F_OK) == 0 || errno != ENOENT;
        if (placed && !in_tmp) return exit_ok;
        std::string error;
        if (publish_message(root, *message, error)) return exit_ok;
        posix_files::remove_file(message->temporary);
        std::cerr << "tarnwick: the message was not stored (" << error << "); the mail system will try again\n";
        return exit_locked;
    };
    try {
        std::vector<std::string> args = given;
        envelope sent = read_envelope(args);
        filter_options filter =
            read_filter_options(read_command_arguments("deliver", args, extra_words::refused), "deliver");
        if (filter.session.lock_timeout < 0) filter.session.lock_timeout = default_lock_timeout;
        for (const std::string& warning : filter.warnings) std::cerr << "tarnwick: warning: " << warning << "\n";

        // The locks first: when another run holds them past the timeout, nothing is stored.
        int code = exit_ok;
        std::optional<session> running = open_locked_session(filter.session, code);
        if (!running) {
            std::cerr << "tarnwick: the message was not stored; the mail system will try again\n";
            return exit_locked;
        }
        // Written aside and flushed, then judged: kept mail shows in the inbox only once judged,
        // the rest never does.
        std::string error;
        root = filter.root;
        message = write_message(0, filter.root, sent, error);
        if (!message) {
            std::cerr << "tarnwick: the message was not stored (" << error << "); the mail system will try again\n";
            return exit_locked;
        }
        filter.host.delivered_file = message->name;
        filter.host.delivered_to = sent.recipient.value_or("");
        install_signal_handlers();
        if (!load_session_addin(*running, filter.session, error)) {
            std::cerr << "tarnwick: stored " << message->name << " in new/ but could not filter it: " << error << "\n";
        } else if (!filter_stored(*running, filter, message->name, placed)) {
            std::cerr << "tarnwick: stored " << message->name
                      << ", but the filter could not do or keep everything (see the debug log " << running->debug_log()
                      << ")\n";
        }
        return finish();  // while the locks are held
    } catch (const std::exception& failure) {
        std::cerr << "tarnwick: " << failure.what()
                  << (message ? "" : "; the message was not stored, the mail system will try again") << "\n";
        if (!message) return exit_locked;
    }
    return finish();
}
