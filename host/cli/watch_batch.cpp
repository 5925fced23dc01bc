// One batch of `watch` in a child process: see watch_batch.h.
#include "cli/watch_batch.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>

#include "cli/account_store.h"
#include "cli/filter_pass.h"
#include "cli/session.h"
#include "platform/posix_files.h"
#include "policy/history.h"

namespace {

// What a batch tells the parent, one name a line: "F name" for mail it handed to the add-in,
// "J name" for unread mail judged before. A name that does not get through is only handed over
// again by the next batch, which finds it gone or judged, or handles it as new.
void report(int out, char what, const std::string& name) {
    posix_files::write_all(out, std::string(1, what) + " " + name + "\n");
}

// One batch in the child: the pending mail past its time expired, then the new messages not
// handed over already. Its exit code: exit_locked when another process held the locks past the
// timeout.
int filter_batch(const filter_options& given, const std::set<std::string>& handed, bool first, int out) {
    int code = exit_ok;
    // An account's batch logs in on a connection of its own, with the password the watch has.
    filter_options filter = given;
    if (!connect_account(filter, code)) return code;
    std::optional<session> running = open_locked_session(filter.session, code);
    if (!running) return code;
    std::string error;
    if (!load_session_addin(*running, filter.session, error)) {
        std::cerr << "tarnwick: " << error << "\n";
        return exit_failure;
    }
    filter_pass pass = begin_pass(*running, filter, true, !first || filter.quiet);
    addin_client& addin = *running->addin;
    if (pass.protection) before_new_mail(addin, pass);
    expire_pending_mail(addin, pass);
    std::vector<std::string> judged_before;
    for (const std::string& name : unjudged_arrivals(pass, false, &judged_before)) {
        // Names handed over already: a message the filter keeps but cannot record must not be
        // handled twice.
        if (stop_requested) break;
        if (handed.count(name)) continue;
        filter_message(addin, pass, name);
        report(out, 'F', name);
    }
    // Unread mail judged before, which the parent must not take for arrivals.
    for (const std::string& name : judged_before) report(out, 'J', name);
    addin.object().Unload();
    end_pass(pass);
    running->addin.reset();  // the module lets go of the host before the summary is read
    const mailer_activity& activity = pass.host->activity();
    bool failed = pass.counts.failed(activity) || pass.friends->failed() || pass.tracker->report().failed();
    bool judged = !pass.tracker->report().summary_lines().empty();
    if (pass.counts.seen > 0 || activity.released > 0 || activity.expired > 0 || judged || failed) {
        if (!filter.quiet || failed || !running->files_not_written().empty())
            print_summary(*pass.host.get(), pass.counts, *pass.friends, pass.pending, sending_of(filter.host), *running,
                          pass.protection, !filter.host.trusted_authserv.empty(), nullptr);
        if (!record_history(running->data_directory,
                            history_entry_of(activity, pass.counts.seen, pass.counts.kept, pass.pending)))
            code = exit_failure;
    }
    return finish_code(*running, pass, code);
}

// Runs filter_batch in a child process and waits for it, a signal meanwhile included.
}  // namespace

batch_outcome run_batch(const filter_options& filter, const std::set<std::string>& handed, bool first) {
    batch_outcome outcome;
    int channel[2];
    if (::pipe2(channel, O_CLOEXEC) != 0) {
        std::cerr << "tarnwick: cannot start a batch: " << std::strerror(errno) << "\n";
        outcome.code = exit_failure;
        return outcome;
    }
    std::cout.flush();
    std::cerr.flush();
    pid_t child = ::fork();
    if (child == 0) {
        ::close(channel[0]);
        int code = exit_failure;
        try {
            code = filter_batch(filter, handed, first, channel[1]);
        } catch (const std::exception& error) {
            std::cerr << "tarnwick: " << error.what() << "\n";
        }
        std::cout.flush();
        std::cerr.flush();
        ::_exit(code);
    }
    ::close(channel[1]);
    if (child < 0) {
        std::cerr << "tarnwick: cannot start a batch: " << std::strerror(errno) << "\n";
        ::close(channel[0]);
        outcome.code = exit_failure;
        return outcome;
    }
    std::string names;
    char buffer[4096];
    for (;;) {
        ssize_t n = ::read(channel[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        names.append(buffer, static_cast<size_t>(n));
    }
    ::close(channel[0]);
    for (size_t at = 0, end; (end = names.find('\n', at)) != std::string::npos; at = end + 1) {
        if (end < at + 2) continue;
        outcome.handed.insert(names.substr(at + 2, end - at - 2));
        if (names[at] == 'F') ++outcome.filtered;
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    outcome.code = WIFEXITED(status) ? WEXITSTATUS(status) : exit_failure;
    if (WIFSIGNALED(status))
        std::cerr << "tarnwick: a batch ended by signal " << WTERMSIG(status)
                  << "; what it did not finish is done by the next\n";
    return outcome;
}
