// tarnwick watch --imap: waits for arrivals with IDLE on a connection of its own and filters each
// batch in a child process (watch_batch.h), which opens its own connection and holds the data
// folder only while it works.
//
// The watch never trusts the server's message numbers: after every wake it asks again for the
// unread UIDs of INBOX, so EXISTS and EXPUNGE from other clients only wake it. IDLE is renewed
// every minute, far within the thirty minutes a server may wait; the pending folder's state is
// asked for then too, so that what the user moved out of it is judged within a minute. A dropped
// connection is made again after 1, 2, 4... up to 60 seconds; a refused login ends the watch.
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <iostream>
#include <set>

#include "cli/account_store.h"
#include "cli/filter_pass.h"
#include "cli/imap_watch.h"
#include "cli/signals.h"
#include "cli/watch_batch.h"
#include "policy/filter_settings.h"
#include "store/imap_connection.h"

namespace {

constexpr int idle_seconds = 60;
constexpr int longest_backoff = 60;

// Sleeps `seconds` unless a signal comes first.
void pause_for(int seconds) {
    pollfd wait{signal_pipe[0], POLLIN, 0};
    if (!stop_requested) ::poll(&wait, signal_pipe[0] >= 0 ? 1 : 0, seconds * 1000);
}

// The names the store gives INBOX's unread messages ("UIDVALIDITY.UID"), as a batch reports them.
std::set<std::string> unread_names(imap_connection& connection, const imap_connection::mailbox_state& inbox) {
    std::set<std::string> names;
    for (const imap_connection::message_info& message : connection.messages(1, 0)) {
        if (!message.seen && !message.deleted)
            names.insert(std::to_string(inbox.uidvalidity) + "." + std::to_string(message.uid));
    }
    return names;
}

// What the pending folder looks like, to tell when the user moved mail out of it: its message
// count and next UID; {0, 0} when it is missing.
std::pair<std::uint32_t, std::uint32_t> pending_state(imap_connection& connection, const std::string& folder) {
    if (folder.empty()) return {0, 0};
    try {
        imap_connection::mailbox_state state = connection.select(folder, true);
        return {state.exists, state.uidnext};
    } catch (const imap_error& error) {
        if (error.code() != imap_error::refused) throw;
        return {0, 0};
    }
}

}  // namespace

int watch_imap(const filter_options& given) {
    filter_options filter = given;
    if (filter.session.lock_timeout < 0 && !filter.session.wait) filter.session.lock_timeout = default_lock_timeout;
    install_signal_handlers();
    int code = exit_ok;
    const std::string account = filter.remote->imap.text();
    // The password is asked for once; a login refused at the start ends the watch at once.
    if (!connect_account(filter, code)) return code;
    std::unique_ptr<imap_connection> connection = std::move(filter.link->connection);
    filter.link.reset();
    const std::string data_directory = data_directory_of(filter.session.data_home);
    std::set<std::string> handed;  // unread names of INBOX that a batch handed over or found judged
    int seen = 0, backoff = 1;
    bool first = true, told = false;
    auto last_upkeep = std::chrono::steady_clock::now();
    std::pair<std::uint32_t, std::uint32_t> pending_was{0, 0};
    while (!stop_requested) {
        try {
            if (!connection)
                connection = open_imap_connection(filter.remote->imap, filter.password, imap_options_of(filter));
            if (!told && ::isatty(2) && !filter.quiet)
                std::cerr << "tarnwick: watching " << account << " (Ctrl-C to stop)\n";
            told = true;
            for (;;) {
                std::string pending = pending_settings_of(read_filter_settings(data_directory)).folder;
                std::pair<std::uint32_t, std::uint32_t> pending_now = pending_state(*connection, pending);
                imap_connection::mailbox_state inbox = connection->select("INBOX", true);
                std::set<std::string> present = unread_names(*connection, inbox);
                std::erase_if(handed, [&](const std::string& name) { return !present.count(name); });
                bool arrivals = std::any_of(present.begin(), present.end(),
                                            [&](const std::string& name) { return !handed.count(name); });
                bool upkeep = std::chrono::steady_clock::now() - last_upkeep >= upkeep_interval;
                if (first || arrivals || upkeep || pending_now != pending_was) {
                    batch_outcome batch = run_batch(filter, handed, first);
                    // Taken in before the server is asked anything again: a drop then must not
                    // lose what the batch did or how it ended.
                    seen += batch.filtered;
                    handed.insert(batch.handed.begin(), batch.handed.end());
                    if (batch.code == exit_locked) {
                        std::cerr << "tarnwick: new mail waits for the next arrival or the next minute\n";
                    } else {
                        first = false;
                        last_upkeep = std::chrono::steady_clock::now();
                        if (batch.code != exit_ok) code = exit_failure;
                        pending_was = pending_state(*connection, pending);
                    }
                    if (stop_requested) break;
                    connection->select("INBOX", true);
                }
                backoff = 1;
                if (stop_requested) break;
                connection->idle(idle_seconds, signal_pipe[0]);
                // A batch shares the signal pipe: what a signal to it wrote must not wake us for ever.
                char drained[64];
                while (signal_pipe[0] >= 0 && ::read(signal_pipe[0], drained, sizeof drained) > 0) {
                }
                if (stop_requested) break;
            }
            connection->logout();
            connection.reset();
        } catch (const imap_error& error) {
            if (error.code() == imap_error::login || error.code() == imap_error::tls) {
                // Neither mends itself by waiting.
                std::cerr << "tarnwick: " << error.what() << "\n";
                code = exit_failure;
                break;
            }
            connection.reset();
            if (stop_requested) break;
            std::cerr << "tarnwick: " << account << ": " << error.what() << "; connecting again in " << backoff
                      << (backoff == 1 ? " second\n" : " seconds\n");
            pause_for(backoff);
            backoff = std::min(backoff * 2, longest_backoff);
        }
    }
    if (!filter.quiet || code != exit_ok)
        std::cout << "tarnwick: watch stopped: " << seen << (seen == 1 ? " message" : " messages")
                  << " filtered in all in " << account << "\n";
    return code;
}
