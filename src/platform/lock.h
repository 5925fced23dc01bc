// A re-entrant lock: the owning thread may take it again without blocking.
#pragma once

#include <memory>

class recursive_lock {
public:
    recursive_lock();
    ~recursive_lock();
    recursive_lock(const recursive_lock&) = delete;
    recursive_lock& operator=(const recursive_lock&) = delete;

    void lock();
    void unlock();
    bool try_lock();

private:
    struct impl;
    std::unique_ptr<impl> impl_;
};
