#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/lock.h"

TEST(recursive_lock, owner_reenters_others_wait) {
    recursive_lock lock;
    lock.lock();
    lock.lock();  // same thread: no deadlock
    std::atomic<bool> other_got_it{true};
    std::thread([&] { other_got_it = lock.try_lock(); }).join();
    EXPECT_FALSE(other_got_it);
    lock.unlock();
    lock.unlock();
    std::thread([&] {
        other_got_it = lock.try_lock();
        if (other_got_it) lock.unlock();
    }).join();
    EXPECT_TRUE(other_got_it);
}
