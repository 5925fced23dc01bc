#include "cli/run_lock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <thread>
#include <utility>

#include "platform/file_io.h"
#include "platform/posix_files.h"

namespace {

std::string describe_holder(const std::string& path) {
    std::string text = read_file(path).value_or("");
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text.empty() ? "another process" : text;
}

std::string own_command_line() {
    std::string text = read_file("/proc/self/cmdline").value_or("");
    for (char& c : text) {
        if (c == '\0') c = ' ';
    }
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

}  // namespace

std::optional<run_lock> run_lock::acquire(const std::string& path, bool wait, std::string& message, bool& busy) {
    return take(path, wait, std::nullopt, message, busy);
}

std::optional<run_lock> run_lock::acquire_until(const std::string& path, std::chrono::steady_clock::time_point deadline,
                                                std::string& message, bool& busy) {
    return take(path, false, deadline, message, busy);
}

std::optional<run_lock> run_lock::take(const std::string& path, bool wait,
                                       std::optional<std::chrono::steady_clock::time_point> deadline,
                                       std::string& message, bool& busy) {
    busy = false;
    int fd = posix_files::open_lock_file(path);
    if (fd < 0) {
        message = path + ": " + std::strerror(errno);
        return std::nullopt;
    }
    while (::flock(fd, LOCK_EX | (wait ? 0 : LOCK_NB)) != 0) {
        if (errno == EINTR) continue;
        // flock has no timeout of its own: try again now and then until the deadline.
        if (errno == EWOULDBLOCK && deadline && std::chrono::steady_clock::now() < *deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            continue;
        }
        if (errno == EWOULDBLOCK) {
            busy = true;
            message = describe_holder(path);
        } else {
            message = path + ": " + std::strerror(errno);
        }
        ::close(fd);
        return std::nullopt;
    }
    // Tells a second run who holds the lock. The lock itself is the flock, not this text, so a
    // text that cannot be written costs only that courtesy.
    std::string holder = "pid " + std::to_string(::getpid()) + ": " + own_command_line() + "\n";
    posix_files::rewrite_file(fd, path, holder);
    return run_lock(fd);
}

run_lock::run_lock(run_lock&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}

run_lock& run_lock::operator=(run_lock&& other) noexcept {
    if (this != &other) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

run_lock::~run_lock() {
    if (fd_ >= 0) ::close(fd_);
}
