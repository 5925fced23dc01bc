// What run, watch and deliver share: see filter_pass.h.
#include "cli/filter_pass.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>

#include "mailer/unfinished_challenges.h"
#include "platform/text.h"
#include "policy/contacts.h"
#include "policy/pending_index.h"
#include "policy/reply.h"
#include "policy/sent_mail.h"
#include "store/folder_sync.h"
#include "store/maildir.h"
#include "store/maildir_store.h"

// A whole number from 0 to 100000 for `option`; a usage error otherwise.
int whole_number(const std::string& text, const std::string& option) {
    if (text.empty() || text.size() > 6 || text.find_first_not_of("0123456789") != std::string::npos ||
        std::stol(text) > 100000)
        throw usage_error(option + " needs a whole number from 0 to 100000, not " + text);
    return static_cast<int>(std::stol(text));
}

volatile sig_atomic_t stop_requested = 0;
int signal_pipe[2] = {-1, -1};

namespace {
void on_signal(int) {
    stop_requested = 1;
    if (signal_pipe[1] >= 0) {
        ssize_t n = ::write(signal_pipe[1], "x", 1);
        (void)n;
    }
}
}  // namespace

void install_signal_handlers() {
    if (signal_pipe[0] < 0 && ::pipe2(signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0) signal_pipe[0] = signal_pipe[1] = -1;
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

bool flag_is_on(addin_client& addin, const std::string& name) {
    variant_holder value;
    return SUCCEEDED(addin.get(name, value.put())) && value->vt == VT_BOOL && value->boolVal != 0;
}

std::string text_property(addin_client& addin, const std::string& name) {
    variant_holder value;
    if (FAILED(addin.get(name, value.put())) || value->vt != VT_BSTR) return "";
    return narrow_from_bstr(value->bstrVal);
}

void handle_message(addin_client& addin, store_mailer& host, friend_finder& friends, const std::string& name,
                    bool mark_seen, run_counts& counts) {
    folder_sync::begin_message();
    int read_error = 0;
    message_ref message = host.store().open_arrival(name, &read_error);
    if (!message && read_error != 0) {
        // The add-in would take it for mail without a sender and park it unseen: it stays
        // where the user's client shows it, and the run fails so that someone looks.
        ++counts.unreadable;
        counts.notes.push_back("message " + name + " cannot be read (" + std::strerror(read_error) + "); left in new/");
        return;
    }
    if (!message) {
        ++counts.gone;
        return;
    }
    ++counts.seen;
    const header_summary* headers = message->headers();
    bool usable = headers && usable_sender(*headers);
    std::string sender;
    if (headers) {
        if (!friends.before_filtering(*headers)) {
            // A friend's answer must not be challenged for a list write that failed: it waits
            // in new/, where the user sees it, until a pass has added him.
            ++counts.friend_waits;
            counts.notes.push_back("message " + name + " stays in new/: its sender answers your mail but could not " +
                                   "be added to the authorized list; the next run tries again");
            return;
        }
        sender = headers->sender;
    }
    int sent = host.activity().replies_sent, withheld = host.activity().replies_withheld;
    com_ptr<IUnknown> handed = host.object_for(message);
    if (FAILED(addin.object().RunWorkflow2(static_cast<IMailerHost*>(&host), handed.get()))) ++counts.unsaved;
    if (counts.keep_handled)
        counts.handled.emplace_back(name, host.activity().replies_sent > sent           ? sender
                                          : host.activity().replies_withheld > withheld ? "withheld"
                                                                                        : "");
    std::optional<std::string> folder;
    if (message->locate()) folder = message->folder();
    if (!usable && folder) {
        counts.notes.push_back("message " + name + " has no usable sender; " +
                               (folder->empty() ? std::string("kept in the inbox") : "parked in " + *folder));
    }
    if (!folder) {
        ++counts.gone;
    } else if (folder->empty() && message->move_failed()) {
        // The filter put it elsewhere, but the move failed (the summary names it): in cur/ it
        // would pass for mail the filter kept and never be filtered again, so it stays new.
        ++counts.left_new;
        counts.notes.push_back("message " + name + " stays in new/, to be filtered again by the next run");
    } else if (folder->empty()) {
        ++counts.kept;
        // The filter has seen it: a later run must not take it for new again.
        if (mark_seen && !message->leave_arrivals()) {
            ++counts.unmarked;
            std::cerr << "tarnwick: cannot move " << name << " from new/ to cur/\n";
        }
    }
}

void print_count(const std::string& what, int count, const std::string& detail) {
    std::cout << "  " << what << std::string(what.size() < 30 ? 30 - what.size() : 1, ' ') << count;
    if (!detail.empty()) std::cout << "  (" << detail << ")";
    std::cout << "\n";
}

void print_summary(const store_mailer& host, const run_counts& counts, const friend_finder& friends,
                   const std::string& pending, const std::string& sendmail, const session& running, bool protection,
                   bool gated, const dry_run_view* dry) {
    const host_activity& activity = host.activity();
    std::cout << "tarnwick: " << counts.seen << (counts.seen == 1 ? " message" : " messages")
              << (dry ? " would be handled in " : " handled in ") << (dry ? dry->root : host.account()) << "\n";
    print_count("kept in the inbox", counts.kept);
    auto moved = activity.moved_into.find(pending);
    print_count("moved to the pending folder", moved == activity.moved_into.end() ? 0 : moved->second, pending);
    for (const auto& [folder, count] : activity.moved_into) {
        if (folder != pending) print_count("moved to " + (folder.empty() ? std::string("the inbox") : folder), count);
    }
    print_count("deleted (moved to Trash)", activity.deleted);
    if (activity.expired) print_count("expired (moved to Trash)", activity.expired);
    std::string outbox = host.outbox_place();
    if (dry) outbox = dry->root + outbox.substr(host.account().size());
    print_count(dry ? "challenges that would be sent" : "challenges sent", activity.replies_sent,
                (dry ? "would be " : "") + (sendmail.empty() ? "stored in " + outbox : "handed to " + sendmail));
    std::string kinds;
    for (const auto& [kind, count] : activity.withheld_by)
        kinds += (kinds.empty() ? "" : ", ") + std::to_string(count) + " " + kind;
    print_count("challenges withheld", activity.replies_withheld, kinds);
    if (activity.replies_failed) print_count("challenges failed", activity.replies_failed);
    print_count("released to the inbox", activity.released);
    print_count("friends added", friends.added(),
                friends.sent_folder().empty()
                    ? "no sent folder"
                    : "read " + std::to_string(friends.sent_read()) + " new in " + friends.sent_folder());
    if (counts.gone) print_count("gone before or while handled", counts.gone);
    if (counts.unreadable) print_count("unreadable, left in new/", counts.unreadable);
    if (counts.unsaved)
        print_count(
            "lists not saved", counts.unsaved,
            "the filter could not write " + running.files_not_written_text("its list files") + "; see the debug log");
    if (activity.moves_failed) print_count("moves failed", activity.moves_failed);
    if (activity.folders_failed) print_count("folders not made", activity.folders_failed);
    if (activity.flags_failed) print_count("read states not changed", activity.flags_failed);
    if (activity.budget_not_saved) print_count("challenges not counted in the budget", activity.budget_not_saved);
    if (activity.upkeep_failed) print_count("upkeep not done", activity.upkeep_failed);
    if (counts.unmarked) print_count("kept but left in new/", counts.unmarked);
    if (counts.left_new) print_count("left in new/ (move failed)", counts.left_new);
    if (counts.friend_waits) print_count("left in new/ (friend not added)", counts.friend_waits);
    // Notes name senders and files, which come from outside.
    for (const auto* notes : {&activity.notes, &counts.notes, &friends.notes()})
        for (const std::string& note : *notes) std::cout << "  " << shown_text(note, 4000) << "\n";
    if (!gated)
        std::cout << "  challenges are not gated by sender authentication: set trusted-authserv to your mail "
                     "server's id (--trusted-authserv ID)\n";
    if (!protection)
        std::cout << "  protection is off: the filter acted on nothing "
                     "(tarnwick config set EnableProtection true)\n";
    if (!dry) std::cout << "debug log: " << running.debug_log() << "\n";
}

std::optional<std::uint64_t> parse_byte_size(const std::string& text) {
    size_t digits = text.find_first_not_of("0123456789");
    if (digits == 0 || text.empty()) return std::nullopt;
    std::string number = text.substr(0, digits == std::string::npos ? text.size() : digits);
    std::string unit = digits == std::string::npos ? "" : text.substr(digits);
    int shift = 0;
    if (unit == "K" || unit == "k") shift = 10;
    else if (unit == "M" || unit == "m") shift = 20;
    else if (unit == "G" || unit == "g") shift = 30;
    else if (!unit.empty()) return std::nullopt;
    // Up to 2^40 bytes: a limit beyond that is no limit, and no shift can overflow.
    if (number.size() > 13) return std::nullopt;
    std::uint64_t value = std::stoull(number);
    if (value > (std::uint64_t{1} << (40 - shift))) return std::nullopt;
    return value << shift;
}

filter_options read_filter_options(const parsed_arguments& arguments, const std::string& command) {
    filter_options filter;
    store_mailer_options& options = filter.host;
    filter.root = require_maildir(arguments, command);
    if (arguments.has("--contacts")) {
        std::string error;
        std::optional<std::vector<std::string>> contacts = read_contacts(arguments.value("--contacts"), error);
        if (!contacts) throw usage_error(arguments.origin("--contacts") + ": " + error);
        options.contacts = std::move(*contacts);
    }
    options.sendmail_command = arguments.value("--sendmail");
    std::string sent_folder = sent_folder_name(arguments.value("--sent-folder"));
    if (arguments.has("--sent-folder") &&
        (sent_folder.empty() || !maildir::is_maildir(maildir::folder_directory(filter.root, sent_folder))))
        throw usage_error("--sent-folder: " + arguments.value("--sent-folder") + " is not a folder of " + filter.root);
    if (!arguments.has("--sent-folder")) sent_folder = find_sent_folder(filter.root);
    filter.sent_folder = sent_folder;
    filter.junk_folder = junk_folder_setting(arguments, filter.root);
    for (const std::string& address : arguments.values("--own-address")) {
        if (!writable_address(address))
            throw usage_error(arguments.origin("--own-address") + ": \"" + address +
                              "\" is not a plain address such as me@home.example (no display name, no <>)");
        options.own_addresses.push_back(address);
    }
    if (arguments.has("--own-address") && options.own_addresses.empty())
        throw usage_error("--own-address needs an address");
    options.trusted_authserv = arguments.values("--trusted-authserv");
    if (arguments.has("--trusted-authserv") && options.trusted_authserv.empty())
        throw usage_error("--trusted-authserv needs a server id");
    if (arguments.has("--challenge-limit"))
        options.challenge_limit = whole_number(arguments.value("--challenge-limit"), "--challenge-limit");
    if (arguments.has("--max-message-size")) {
        std::optional<std::uint64_t> limit = parse_byte_size(arguments.value("--max-message-size"));
        if (!limit || *limit == 0)
            throw usage_error(arguments.origin("--max-message-size") +
                              " needs a byte count such as 67108864, 64M or 1G, not " +
                              arguments.value("--max-message-size"));
        options.max_message_size = *limit;
    }
    filter.session = read_session_settings(arguments);
    filter.session.maildir = filter.root;
    if (arguments.has("--lock-timeout"))
        filter.session.lock_timeout = whole_number(arguments.value("--lock-timeout"), "--lock-timeout");
    return filter;
}

filter_pass begin_pass(session& running, const filter_options& filter, bool learn_sent_mail, bool quiet) {
    // From here on the folders of renames are flushed where order matters and at the end.
    folder_sync::begin();
    filter_pass pass;
    store_mailer_options options = filter.host;
    options.budget_file = running.data_directory + "/" + budget_file_name;
    options.challenge_record_file = running.data_directory + "/" + challenge_record_file_name;
    pass.host = store_mailer::create(maildir_store::open(filter.root), std::move(options));
    if (!pass.host->budget_problem().empty()) std::cerr << "tarnwick: " << pass.host->budget_problem() << "\n";
    if (std::string problem = pass.host->challenge_record_problem(); !problem.empty())
        std::cerr << "tarnwick: " << problem << "\n";
    addin_client& addin = *running.addin;
    // SetMailer makes sure the pending folder exists and imports the contacts.
    if (FAILED(addin.object().SetMailer(static_cast<IMailerHost*>(pass.host.get())))) ++pass.counts.unsaved;
    finish_unfinished_challenges(addin, *pass.host.get());
    pass.pending = text_property(addin, "PendingFolderName");
    pass.protection = flag_is_on(addin, "EnableProtection");
    if (!pass.protection && !quiet)
        std::cerr << "tarnwick: protection is off, so the filter acts on nothing; new mail stays new\n";
    pass.friends = std::make_unique<friend_finder>(addin, running.data_directory, filter.root, filter.sent_folder,
                                                   filter.recorded_root, filter.host.trusted_authserv);
    pass.tracker =
        std::make_unique<pending_tracker>(running.data_directory, filter.root, pass.pending, filter.junk_folder);
    if (pass.protection && learn_sent_mail) {
        pass.friends->learn_from_sent_mail();
        // The add-in releases a new friend's pending mail on its next new-message call.
        if (pass.friends->added() > 0 &&
            FAILED(addin.object().RunWorkflow2(static_cast<IMailerHost*>(pass.host.get()), nullptr)))
            ++pass.counts.unsaved;
    }
    return pass;
}

void before_new_mail(addin_client& addin, filter_pass& pass) {
    // Pending mail the user moved is judged before new mail, which its verdicts may concern.
    pass.tracker->judge_moved_messages(addin, *pass.host.get());
}

void filter_message(addin_client& addin, filter_pass& pass, const std::string& name) {
    int unsaved = pass.counts.unsaved;
    handle_message(addin, *pass.host.get(), *pass.friends, name, pass.protection, pass.counts);
    pass.host->settle_challenges(pass.counts.unsaved == unsaved);
    pass.tracker->record(*pass.host.get());
}

void end_pass(filter_pass& pass) {
    // The index names messages parked in the pending folder and forgets those the lists now
    // judge: it is saved once both are on disk.
    folder_sync::flush_mail_folders();
    folder_sync::flush_data_folders();
    pass.friends->finish();
    pass.tracker->save();
    pass.host->save_budget();
    folder_sync::end();
    for (const std::string& line : pass.tracker->report().summary_lines()) pass.counts.notes.push_back(line);
}

int finish_code(const session& running, const filter_pass& pass, int code) {
    const run_counts& counts = pass.counts;
    const host_activity& activity = pass.host->activity();
    if (counts.unreadable)
        std::cerr << "tarnwick: " << counts.unreadable << (counts.unreadable == 1 ? " message" : " messages")
                  << " could not be read and stayed in new/\n";
    if (!counts.failed(activity) && !running.files_not_written().empty()) {
        // A write the add-in could not make without answering with a failure.
        std::cerr << "tarnwick: the filter could not write " << running.files_not_written_text("")
                  << " (see the debug log)\n";
        if (code == exit_ok) code = exit_failure;
    }
    if (counts.failed(activity) || pass.friends->failed() || pass.tracker->report().failed()) {
        std::cerr << "tarnwick: not everything was done or saved; the summary says what\n";
        if (code == exit_ok) code = exit_failure;
    }
    return code;
}
