// tarnwick watch: filters what is new, then each batch of arrivals as it comes.
//
// The data folder and the Maildir are held only while a batch is filtered, so that `config set`,
// `list add` and `deliver` can work while watch waits. Each batch runs in a child process that
// takes the locks, loads the add-in, filters and exits: the add-in reads its lists once per
// process, and an add-in kept loaded across batches would write back lists that another command
// changed meanwhile. The parent only waits for arrivals and signals, and never loads the add-in.
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <ctime>
#include <iostream>
#include <set>

#include "cli/commands.h"
#include "cli/filter_pass.h"
#include "cli/imap_watch.h"
#include "cli/session.h"
#include "cli/watch_batch.h"
#include "policy/filter_settings.h"
#include "store/maildir.h"

namespace {

// True when the pending folder holds mail old enough for the add-in to expire: only then is a
// batch started without arrivals.
bool expiry_due(const std::string& data_directory, const std::string& root) {
    pending_settings pending = pending_settings_of(read_filter_settings(data_directory));
    if (pending.folder.empty() || pending.expiry_days < 0) return false;
    time_t limit = std::time(nullptr) - static_cast<time_t>(pending.expiry_days) * 24 * 3600;
    for (const maildir::message_file& file :
         maildir::list_all_messages(maildir::folder_directory(root, pending.folder))) {
        if (file.mtime.tv_sec < limit) return true;
    }
    return false;
}

// Watches the pending folder for mail leaving it, so that what the user judges by moving is
// acted on at once rather than at the next arrival. False when it cannot be watched.
bool watch_pending_folder(int notify, const std::string& data_directory, const std::string& root) {
    std::string folder = pending_settings_of(read_filter_settings(data_directory)).folder;
    if (folder.empty()) return false;
    bool watching = true;
    for (const char* subdir : {"/new", "/cur"}) {
        std::string path = maildir::folder_directory(root, folder) + subdir;
        watching = ::inotify_add_watch(notify, path.c_str(), IN_MOVED_FROM | IN_DELETE) >= 0 && watching;
    }
    return watching;
}

}  // namespace

int cmd_watch(const std::vector<std::string>& args) {
    // Before anything else is read, so that it is not taken for an unknown option.
    if (std::find(args.begin(), args.end(), "--dry-run") != args.end())
        throw usage_error("--dry-run is an option of run, not of watch");
    return watch_inbox(read_filter_options(read_command_arguments("watch", args, extra_words::refused), "watch"));
}

int watch_inbox(const filter_options& given) {
    if (given.remote) return watch_imap(given);
    filter_options filter = given;
    if (filter.session.lock_timeout < 0 && !filter.session.wait) filter.session.lock_timeout = default_lock_timeout;
    install_signal_handlers();
    int notify = ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    std::string new_folder = filter.root + "/new";
    int inbox_watch = notify < 0 ? -1
                                 : ::inotify_add_watch(notify, new_folder.c_str(),
                                                       IN_MOVED_TO | IN_CREATE | IN_DELETE_SELF | IN_MOVE_SELF);
    // An IMAP server moves unread mail to cur/ as well, and a client renames it there.
    std::string cur_folder = filter.root + "/cur";
    int cur_watch = inbox_watch < 0 ? -1 : ::inotify_add_watch(notify, cur_folder.c_str(), IN_MOVED_TO | IN_CREATE);
    if (inbox_watch < 0 || cur_watch < 0) {
        std::cerr << "tarnwick: cannot watch " << (inbox_watch < 0 ? new_folder : cur_folder) << ": "
                  << std::strerror(errno) << "\n";
        if (notify >= 0) ::close(notify);
        return exit_failure;
    }
    if (::isatty(2) && !filter.quiet) std::cerr << "tarnwick: watching " << new_folder << " (Ctrl-C to stop)\n";
    std::set<std::string> handed;  // unread names of the inbox that a batch handed over or found judged
    int code = exit_ok, seen = 0;
    bool first = true, pending_changed = false;
    auto last_upkeep = std::chrono::steady_clock::now();
    const std::string data_directory = data_directory_of(filter.session.data_home);
    while (!stop_requested) {
        std::set<std::string> present;
        for (const maildir::message_file& file : maildir::list_all_messages(filter.root))
            if (file.subdir == "new" || maildir::flags_of(file.name).find('S') == std::string::npos)
                present.insert(file.name);
        std::erase_if(handed, [&](const std::string& name) { return !present.count(name); });
        bool arrivals =
            std::any_of(present.begin(), present.end(), [&](const auto& name) { return !handed.count(name); });
        bool upkeep = !first && std::chrono::steady_clock::now() - last_upkeep >= upkeep_interval;
        if (upkeep && !expiry_due(data_directory, filter.root)) {
            upkeep = false;
            last_upkeep = std::chrono::steady_clock::now();
        }
        bool again = false;  // a batch is due at once, without waiting for an event
        if (first || arrivals || upkeep || pending_changed) {
            batch_outcome batch = run_batch(filter, handed, first);
            if (batch.code == exit_locked) {
                std::cerr << "tarnwick: new mail waits for the next arrival or the next minute\n";
            } else {
                pending_changed = false;
                // The first batch made the pending folder when it was missing. What the user moved
                // out of it before it was watched is judged by one more batch.
                if (first) again = pending_changed = watch_pending_folder(notify, data_directory, filter.root);
                first = false;
                last_upkeep = std::chrono::steady_clock::now();  // the batch expired what was due
                if (batch.code != exit_ok) code = exit_failure;
            }
            seen += batch.filtered;
            handed.insert(batch.handed.begin(), batch.handed.end());
        }
        if (stop_requested) break;

        pollfd waits[2] = {{notify, POLLIN, 0}, {signal_pipe[0], POLLIN, 0}};
        // A rescan now and then catches what the kernel's queue may have dropped, and retries a
        // batch that could not take the locks.
        int ready = ::poll(waits, signal_pipe[0] >= 0 ? 2 : 1, again ? 0 : 60 * 1000);
        if (ready < 0 && errno != EINTR) break;
        // A batch shares the signal pipe: what a signal to it wrote must not wake the parent for ever.
        char drained[64];
        while (signal_pipe[0] >= 0 && ::read(signal_pipe[0], drained, sizeof drained) > 0) {
        }
        bool folder_gone = false;
        char events[4096];
        ssize_t n;
        while ((n = ::read(notify, events, sizeof events)) > 0) {
            for (char* at = events; at < events + n;) {
                auto* event = reinterpret_cast<inotify_event*>(at);
                if (event->wd == cur_watch) {
                    // Only woken: the next rescan tells what is unread.
                } else if (event->wd != inbox_watch) pending_changed = true;
                else if (event->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED)) folder_gone = true;
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
    if (!filter.quiet || code != exit_ok)
        std::cout << "tarnwick: watch stopped: " << seen << (seen == 1 ? " message" : " messages")
                  << " filtered in all in " << filter.root << "\n";
    return code;
}
