#include "cli/password_command.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

// Enough for any password; the rest of the output is read and dropped.
constexpr size_t kept_bytes = 4096;

// The command as messages name it: a control character cannot break the line.
std::string shown(const std::string& command) {
    std::string text;
    for (unsigned char c : command) text += c < 0x20 || c == 0x7f ? '?' : static_cast<char>(c);
    return "the password command \"" + text + "\"";
}

enum class read_result { more, none_now, ended };

// Reads what the pipe holds now, keeping the first kept_bytes of the output.
read_result read_some(int fd, std::string& kept) {
    char buffer[4096];
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return read_result::none_now;
    if (n <= 0) return read_result::ended;
    kept.append(buffer, std::min(static_cast<size_t>(n), kept_bytes - std::min(kept.size(), kept_bytes)));
    return read_result::more;
}

std::string duration_text(std::chrono::milliseconds timeout) {
    if (timeout.count() % 1000 == 0) return std::to_string(timeout.count() / 1000) + " seconds";
    return std::to_string(timeout.count()) + " ms";
}

}  // namespace

std::optional<std::string> run_password_command(const std::string& command, std::string& error,
                                                std::chrono::milliseconds timeout) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) {
        error = "cannot start " + shown(command) + ": " + std::strerror(errno);
        return std::nullopt;
    }
    pid_t child = ::fork();
    if (child < 0) {
        error = "cannot start " + shown(command) + ": " + std::strerror(errno);
        ::close(out[0]);
        ::close(out[1]);
        return std::nullopt;
    }
    if (child == 0) {
        // Its own group, so that a timeout ends whatever it started too.
        ::setpgid(0, 0);
        ::dup2(out[1], 1);
        ::signal(SIGPIPE, SIG_DFL);
        ::execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::setpgid(child, child);  // also here: the group must exist before a kill may need it
    ::close(out[1]);
    ::fcntl(out[0], F_SETFL, O_NONBLOCK);

    auto deadline = std::chrono::steady_clock::now() + timeout;
    auto time_left = [&] {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        return static_cast<int>(std::clamp<long long>(left.count(), 0, 50));
    };
    std::string output;
    bool exited = false, timed_out = false;
    int status = 0;
    // Read until the output ends or the command has exited (a process it left behind may hold the
    // pipe open: what is there then is all), then wait for the exit, all within the deadline.
    for (bool open = true; open && !exited && !timed_out;) {
        exited = ::waitpid(child, &status, WNOHANG) == child;
        if (exited) {
            while (read_some(out[0], output) == read_result::more) {
            }
        } else if (std::chrono::steady_clock::now() >= deadline) {
            timed_out = true;
        } else {
            pollfd ready{out[0], POLLIN, 0};
            if (::poll(&ready, 1, time_left()) > 0) open = read_some(out[0], output) != read_result::ended;
        }
    }
    while (!exited && !timed_out) {
        exited = ::waitpid(child, &status, WNOHANG) == child;
        if (!exited && std::chrono::steady_clock::now() >= deadline) timed_out = true;
        if (!exited && !timed_out) ::poll(nullptr, 0, time_left());
    }
    if (timed_out) {
        ::kill(-child, SIGKILL);
        ::waitpid(child, &status, 0);
    }
    ::close(out[0]);

    if (timed_out) {
        error = shown(command) + " did not finish within " + duration_text(timeout);
        return std::nullopt;
    }
    if (WIFSIGNALED(status)) {
        error = shown(command) + " was ended by signal " + std::to_string(WTERMSIG(status));
        return std::nullopt;
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        error = shown(command) + " failed (exit status " + std::to_string(WEXITSTATUS(status)) + ")";
        return std::nullopt;
    }
    std::string password = output.substr(0, output.find('\n'));
    if (!password.empty() && password.back() == '\r') password.pop_back();
    if (password.empty()) {
        error = shown(command) + " printed no password on its first line";
        return std::nullopt;
    }
    return password;
}
