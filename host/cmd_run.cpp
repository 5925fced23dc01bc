// tarnwick run | watch: hand every new message of a Maildir's inbox to the add-in, as a mail
// client does for each message that arrives; `watch` stays up and handles arrivals as they come.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <iostream>
#include <set>
#include <sstream>

#include "host/cli.h"
#include "host/contacts.h"
#include "host/dry_run.h"
#include "host/friends.h"
#include "host/history.h"
#include "host/maildir.h"
#include "host/maildir_host.h"
#include "host/verdicts.h"
#include "platform/text.h"

namespace {

constexpr const char* run_usage =
    "usage: tarnwick run --maildir DIR [--contacts FILE] [--sendmail CMD]\n"
    "                    [--sent-folder NAME] [--junk-folder NAME] [--trusted-authserv ID]...\n"
    "                    [--challenge-limit N]\n"
    "                    [--data-dir DIR] [--module FILE] [--wait] [--dry-run]\n"
    "       tarnwick watch (the same options but --dry-run)\n"
    "\n"
    "Hands every message in the inbox's new/ folder to the filter, oldest first, then prints\n"
    "what happened. Mail in cur/ has been seen by a mail client and is never touched. `watch`\n"
    "then stays up and handles each new arrival until it gets SIGINT or SIGTERM.\n"
    "\n"
    "  --maildir DIR     the Maildir whose inbox is filtered (Maildir++ folders below it)\n"
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
    "  --junk-folder NAME  the junk folder (default: the first of .Junk and .Spam): a\n"
    "                    pending message moved there puts its sender on the remove list,\n"
    "                    one moved to the inbox authorizes its sender\n"
    "  --trusted-authserv ID\n"
    "                    challenge only senders that the mail server writing\n"
    "                    Authentication-Results with this id authenticated (dmarc=pass,\n"
    "                    or spf or dkim passing for the From domain); repeat it or give\n"
    "                    a comma-separated list. Unset, nothing is gated\n"
    "  --challenge-limit N\n"
    "                    at most N challenges an hour, across runs (default 30)\n"
    "  --data-dir DIR    keep the filter's files in DIR/OstrelAntiSpam instead of\n"
    "                    $XDG_DATA_HOME/OstrelAntiSpam\n"
    "  --module FILE     the add-in module (default: libTarnwick.so beside this program,\n"
    "                    or $TARNWICK_MODULE)\n"
    "  --wait            wait while another run holds the data folder or the Maildir,\n"
    "                    instead of giving up\n"
    "  --dry-run         tell what would become of each new message and which challenges\n"
    "                    would go out, changing nothing: the run works on a scratch copy\n"
    "                    of the Maildir and the data folder, and sends no mail\n";

// The send times of the last hour's challenges, in the data folder.
constexpr const char* budget_file_name = "challenges_sent.txt";

// A whole number from 0 to 100000 for `option`; a usage error otherwise.
int whole_number(const std::string& text, const std::string& option) {
    if (text.empty() || text.size() > 6 || text.find_first_not_of("0123456789") != std::string::npos ||
        std::stol(text) > 100000)
        throw usage_error(option + " needs a whole number from 0 to 100000, not " + text);
    return static_cast<int>(std::stol(text));
}

volatile sig_atomic_t stop_requested = 0;
int signal_pipe[2] = {-1, -1};

void on_signal(int) {
    stop_requested = 1;
    if (signal_pipe[1] >= 0) {
        ssize_t n = ::write(signal_pipe[1], "x", 1);
        (void)n;
    }
}

// SIGINT and SIGTERM end the run after the message in hand, so that the add-in is always
// unloaded cleanly.
void install_signal_handlers() {
    if (signal_pipe[0] < 0 && ::pipe2(signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0) signal_pipe[0] = signal_pipe[1] = -1;
    struct sigaction action {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
}

// "message 12 of 340" on standard error while a long run goes on, when it is a terminal.
class progress_line {
public:
    progress_line() : terminal_(::isatty(2) != 0), started_(clock::now()) {}
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

struct run_counts {
    int seen = 0;                    // handed to the add-in
    int kept = 0;                    // still in the inbox afterwards
    int gone = 0;                    // vanished or seen by another client before its turn, or vanished during it
    int unreadable = 0;              // left in new/: the file cannot be read
    int unsaved = 0;                 // calls after which the add-in said its list files could not be written
    int unmarked = 0;                // kept messages that could not be moved from new/ to cur/
    int left_new = 0;                // left in new/: the filter's move of them failed
    std::vector<std::string> notes;  // one line for each message the user should look at
    // The inbox's new messages handed to the add-in, with what became of their challenge: "" for
    // none, else the address it went to, or "withheld".
    std::vector<std::pair<std::string, std::string>> handled;

    // True when something the run had to do was not done or not kept.
    bool failed(const host_activity& activity) const {
        return unreadable > 0 || unsaved > 0 || unmarked > 0 || left_new > 0 || activity.replies_failed > 0 ||
               activity.budget_not_saved > 0 || activity.moves_failed > 0 || activity.folders_failed > 0 ||
               activity.flags_failed > 0;
    }
};

bool flag_is_on(addin_client& addin, const std::string& name) {
    variant_holder value;
    return SUCCEEDED(addin.get(name, value.put())) && value->vt == VT_BOOL && value->boolVal != 0;
}

std::string text_property(addin_client& addin, const std::string& name) {
    variant_holder value;
    if (FAILED(addin.get(name, value.put())) || value->vt != VT_BSTR) return "";
    return narrow_from_bstr(value->bstrVal);
}

// One message through the add-in, as the mail client calls it for each arrival.
void handle_message(addin_client& addin, maildir_host& host, friend_finder& friends, const std::string& name,
                    bool mark_seen, run_counts& counts) {
    int read_error = 0;
    com_ptr<IUnknown> message = host.open_new_message(name, &read_error);
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
    bool usable_sender = host.has_usable_sender(message.get());
    std::string sender;
    if (const header_summary* headers = host.headers_of(message.get())) {
        friends.before_filtering(*headers);
        sender = headers->sender;
    }
    int sent = host.activity().replies_sent, withheld = host.activity().replies_withheld;
    if (FAILED(addin.object().RunWorkflow2(static_cast<IMailerHost*>(&host), message.get()))) ++counts.unsaved;
    counts.handled.emplace_back(name, host.activity().replies_sent > sent           ? sender
                                      : host.activity().replies_withheld > withheld ? "withheld"
                                                                                    : "");
    std::optional<std::string> folder = host.folder_of(message.get());
    if (!usable_sender && folder) {
        counts.notes.push_back("message " + name + " has no usable sender; " +
                               (folder->empty() ? std::string("kept in the inbox") : "parked in " + *folder));
    }
    if (!folder) {
        ++counts.gone;
    } else if (folder->empty() && host.move_failed(message.get())) {
        // The filter put it elsewhere, but the move failed (the summary names it): in cur/ it
        // would pass for mail the filter kept and never be filtered again, so it stays new.
        ++counts.left_new;
        counts.notes.push_back("message " + name + " stays in new/, to be filtered again by the next run");
    } else if (folder->empty()) {
        ++counts.kept;
        // The filter has seen it: a later run must not take it for new again.
        if (mark_seen && !host.mark_seen(message.get())) {
            ++counts.unmarked;
            std::cerr << "tarnwick: cannot move " << name << " from new/ to cur/\n";
        }
    }
}

void print_count(const std::string& what, int count, const std::string& detail = "") {
    std::cout << "  " << what << std::string(what.size() < 30 ? 30 - what.size() : 1, ' ') << count;
    if (!detail.empty()) std::cout << "  (" << detail << ")";
    std::cout << "\n";
}

// A dry run works on a scratch copy: what it prints names the real Maildir and sending.
struct dry_run_view {
    std::string root;      // the real Maildir
    std::string sendmail;  // the real --sendmail command, "" for none
};

void print_summary(const maildir_host& host, const run_counts& counts, const friend_finder& friends,
                   const std::string& pending, const std::string& sendmail, const session& running, bool protection,
                   bool gated, const dry_run_view* dry) {
    const host_activity& activity = host.activity();
    std::cout << "tarnwick: " << counts.seen << (counts.seen == 1 ? " message" : " messages")
              << (dry ? " would be handled in " : " handled in ") << (dry ? dry->root : host.root()) << "\n";
    print_count("kept in the inbox", counts.kept);
    auto moved = activity.moved_into.find(pending);
    print_count("moved to the pending folder", moved == activity.moved_into.end() ? 0 : moved->second, pending);
    for (const auto& [folder, count] : activity.moved_into) {
        if (folder != pending) print_count("moved to " + (folder.empty() ? std::string("the inbox") : folder), count);
    }
    print_count("deleted (moved to Trash)", activity.deleted);
    if (activity.expired) print_count("expired (moved to Trash)", activity.expired);
    std::string outbox = host.outbox_directory() + "/new";
    if (dry) outbox = dry->root + outbox.substr(host.root().size());
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
    if (counts.unmarked) print_count("kept but left in new/", counts.unmarked);
    if (counts.left_new) print_count("left in new/ (move failed)", counts.left_new);
    for (const std::string& note : activity.notes) std::cout << "  " << note << "\n";
    for (const std::string& note : counts.notes) std::cout << "  " << note << "\n";
    for (const std::string& note : friends.notes()) std::cout << "  " << note << "\n";
    if (!gated)
        std::cout << "  challenges are not gated by sender authentication: set trusted-authserv to your mail "
                     "server's id (--trusted-authserv ID)\n";
    if (!protection)
        std::cout << "  protection is off: the filter acted on nothing "
                     "(tarnwick config set EnableProtection true)\n";
    if (!dry) std::cout << "debug log: " << running.debug_log() << "\n";
}

// Waits for arrivals in new/ and hands each to the add-in, until a signal asks to stop.
int watch_inbox(addin_client& addin, maildir_host& host, friend_finder& friends, pending_tracker& tracker,
                bool mark_seen, run_counts& counts) {
    int notify = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    std::string new_folder = host.root() + "/new";
    if (notify < 0 ||
        ::inotify_add_watch(notify, new_folder.c_str(), IN_MOVED_TO | IN_CREATE | IN_DELETE_SELF | IN_MOVE_SELF) < 0) {
        std::cerr << "tarnwick: cannot watch " << new_folder << ": " << std::strerror(errno) << "\n";
        if (notify >= 0) ::close(notify);
        return exit_failure;
    }
    if (::isatty(2)) std::cerr << "tarnwick: watching " << new_folder << " (Ctrl-C to stop)\n";
    // Names handed over already: a message the filter keeps but cannot move to cur/ must not
    // be handled twice.
    std::set<std::string> handled;
    int code = exit_ok;
    while (!stop_requested) {
        // Mail the user sent meanwhile makes friends before the next arrival is filtered.
        if (mark_seen) friends.learn_from_sent_mail();
        if (mark_seen) tracker.judge_moved_messages(addin, host);
        std::set<std::string> present;
        for (const std::string& name : host.new_messages()) {
            present.insert(name);
            if (stop_requested || handled.count(name)) continue;
            handle_message(addin, host, friends, name, mark_seen, counts);
            tracker.record(host);
            handled.insert(name);
        }
        tracker.save();
        std::erase_if(handled, [&](const std::string& name) { return !present.count(name); });

        pollfd waits[2] = {{notify, POLLIN, 0}, {signal_pipe[0], POLLIN, 0}};
        // A rescan now and then catches what the kernel's queue may have dropped.
        int ready = ::poll(waits, signal_pipe[0] >= 0 ? 2 : 1, 60 * 1000);
        if (ready < 0 && errno != EINTR) break;
        bool folder_gone = false;
        char events[4096];
        ssize_t n;
        while ((n = ::read(notify, events, sizeof events)) > 0) {
            for (char* at = events; at < events + n;) {
                auto* event = reinterpret_cast<inotify_event*>(at);
                if (event->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED)) folder_gone = true;
                at += sizeof(inotify_event) + event->len;
            }
        }
        if (folder_gone) {
            std::cerr << "tarnwick: " << new_folder << " was removed or moved; stopping\n";
            code = exit_failure;
            break;
        }
    }
    ::close(notify);
    return code;
}

}  // namespace

int cmd_run(const std::vector<std::string>& args, bool watch) {
    if (asks_for_help(args)) {
        std::cout << run_usage;
        return exit_ok;
    }
    if (watch && std::find(args.begin(), args.end(), "--dry-run") != args.end())
        throw usage_error("--dry-run is an option of run, not of watch");
    parsed_arguments arguments = read_arguments(watch ? "watch" : "run", args);
    if (!arguments.positional.empty()) throw usage_error("unexpected argument " + arguments.positional.front());
    if (!arguments.has("--maildir"))
        throw usage_error(std::string(watch ? "watch" : "run") +
                          " needs --maildir DIR (or maildir in the settings file)");
    maildir_host_options options;
    options.root = require_maildir(arguments);
    if (arguments.has("--contacts")) {
        std::string error;
        std::optional<std::vector<std::string>> contacts = read_contacts(arguments.value("--contacts"), error);
        if (!contacts) throw usage_error(arguments.origin("--contacts") + ": " + error);
        options.contacts = std::move(*contacts);
    }
    options.sendmail_command = arguments.value("--sendmail");
    std::string sent_folder = sent_folder_name(arguments.value("--sent-folder"));
    if (arguments.has("--sent-folder") &&
        (sent_folder.empty() || !maildir::is_maildir(maildir::folder_directory(options.root, sent_folder))))
        throw usage_error("--sent-folder: " + arguments.value("--sent-folder") + " is not a folder of " + options.root);
    if (!arguments.has("--sent-folder")) sent_folder = find_sent_folder(options.root);
    std::string junk_folder = junk_folder_setting(arguments, options.root);
    options.trusted_authserv = arguments.values("--trusted-authserv");
    if (arguments.has("--trusted-authserv") && options.trusted_authserv.empty())
        throw usage_error("--trusted-authserv needs a server id");
    if (arguments.has("--challenge-limit"))
        options.challenge_limit = whole_number(arguments.value("--challenge-limit"), "--challenge-limit");
    session_settings settings = read_session_settings(arguments);
    settings.maildir = options.root;

    // A dry run is the real one on a copy, which is removed after it; sending is left out.
    std::optional<scratch_copy> scratch;
    std::optional<dry_run_view> dry;
    if (arguments.has("--dry-run")) {
        // A signal while the copy is made must not leave it behind.
        install_signal_handlers();
        std::string error;
        scratch = scratch_copy::make(options.root, data_directory_of(settings.data_home), error);
        if (!scratch || stop_requested) {
            std::cerr << "tarnwick: dry run: " << (scratch ? "stopped by a signal" : error) << "\n";
            return exit_failure;
        }
        dry = dry_run_view{options.root, options.sendmail_command};
        options.root = settings.maildir = scratch->maildir();
        settings.data_home = scratch->data_home();
        options.sendmail_command.clear();
    }

    // Nothing has been written up to here.
    int code = exit_ok;
    std::optional<session> running = open_session(settings, code);
    if (!running) return code;
    install_signal_handlers();

    options.budget_file = running->data_directory + "/" + budget_file_name;
    com_ptr<maildir_host> host = maildir_host::create(options);
    if (!host->budget_problem().empty()) std::cerr << "tarnwick: " << host->budget_problem() << "\n";
    addin_client& addin = *running->addin;
    // SetMailer makes sure the pending folder exists and imports the contacts.
    run_counts counts;
    if (FAILED(addin.object().SetMailer(static_cast<IMailerHost*>(host.get())))) ++counts.unsaved;
    std::string pending = text_property(addin, "PendingFolderName");
    bool protection = flag_is_on(addin, "EnableProtection");
    if (!protection) std::cerr << "tarnwick: protection is off, so the filter acts on nothing; new mail stays new\n";
    friend_finder friends(addin, running->data_directory, options.root, sent_folder);
    if (protection && !watch) {
        friends.learn_from_sent_mail();
        // The add-in releases a new friend's pending mail on its next new-message call.
        if (friends.added() > 0 && FAILED(addin.object().RunWorkflow2(static_cast<IMailerHost*>(host.get()), nullptr)))
            ++counts.unsaved;
    }
    // Pending mail the user moved is judged before new mail, which its verdicts may concern.
    pending_tracker tracker(running->data_directory, options.root, pending, junk_folder);
    if (protection && !watch) tracker.judge_moved_messages(addin, *host.get());

    if (watch) {
        code = watch_inbox(addin, *host.get(), friends, tracker, protection, counts);
    } else {
        std::vector<std::string> arrivals = host->new_messages();
        progress_line progress;
        for (size_t i = 0; i < arrivals.size() && !stop_requested; ++i) {
            progress.update(i + 1, arrivals.size());
            handle_message(addin, *host.get(), friends, arrivals[i], protection, counts);
            tracker.record(*host.get());
        }
        progress.finish();
        if (stop_requested) std::cerr << "tarnwick: stopped by a signal\n";
    }
    addin.object().Unload();
    tracker.save();
    for (const std::string& line : tracker.report().summary_lines()) counts.notes.push_back(line);

    std::string sendmail = dry ? dry->sendmail : options.sendmail_command;
    running->addin.reset();  // the module lets go of the host before the summary is read
    if (dry) print_dry_run_fates(host->root(), counts.handled, !dry->sendmail.empty());
    print_summary(*host.get(), counts, friends, pending, sendmail, *running, protection,
                  !options.trusted_authserv.empty(), dry ? &*dry : nullptr);
    // The mail is filtered whatever becomes of the figures; a history that was not saved fails the run.
    if (!dry &&
        !record_history(running->data_directory, history_entry_of(host->activity(), counts.seen, counts.kept, pending)))
        code = code == exit_ok ? exit_failure : code;
    if (counts.unreadable)
        std::cerr << "tarnwick: " << counts.unreadable << (counts.unreadable == 1 ? " message" : " messages")
                  << " could not be read and stayed in new/\n";
    if (!counts.failed(host->activity()) && !running->files_not_written().empty()) {
        // A write the add-in could not make without answering with a failure.
        std::cerr << "tarnwick: the filter could not write " << running->files_not_written_text("")
                  << " (see the debug log)\n";
        if (code == exit_ok) code = exit_failure;
    }
    if (counts.failed(host->activity()) || friends.failed() || tracker.report().failed()) {
        std::cerr << "tarnwick: not everything was done or saved; the summary says what\n";
        if (code == exit_ok) code = exit_failure;
    }
    return code;
}
