// One run at a time per data directory: an advisory lock on a file that the kernel releases
// when the holder exits, however it exits.
#pragma once

#include <chrono>
#include <optional>
#include <string>

class run_lock {
public:
    // Takes the lock on `path` (the file is made when missing). Without `wait`, gives up at
    // once when another process holds it. None on failure, with `message` saying who holds the
    // lock ("pid 1234: tarnwick run") or what went wrong; `busy` tells the two apart.
    static std::optional<run_lock> acquire(const std::string& path, bool wait, std::string& message, bool& busy);
    // The same, waiting until `deadline` at most while another process holds it.
    static std::optional<run_lock> acquire_until(const std::string& path,
                                                 std::chrono::steady_clock::time_point deadline, std::string& message,
                                                 bool& busy);

    run_lock(run_lock&& other) noexcept;
    run_lock& operator=(run_lock&& other) noexcept;
    run_lock(const run_lock&) = delete;
    ~run_lock();

private:
    explicit run_lock(int fd) : fd_(fd) {}
    static std::optional<run_lock> take(const std::string& path, bool wait,
                                        std::optional<std::chrono::steady_clock::time_point> deadline,
                                        std::string& message, bool& busy);
    int fd_ = -1;
};
