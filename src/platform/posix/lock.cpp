#include "platform/lock.h"

#include <mutex>

struct recursive_lock::impl {
    std::recursive_mutex mutex;
};

recursive_lock::recursive_lock() : impl_(std::make_unique<impl>()) {}
recursive_lock::~recursive_lock() = default;
void recursive_lock::lock() { impl_->mutex.lock(); }
void recursive_lock::unlock() { impl_->mutex.unlock(); }
bool recursive_lock::try_lock() { return impl_->mutex.try_lock(); }
