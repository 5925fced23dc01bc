#include "platform/lock.h"

#include <windows.h>

struct recursive_lock::impl {
    CRITICAL_SECTION section;
};

recursive_lock::recursive_lock() : impl_(std::make_unique<impl>()) { InitializeCriticalSection(&impl_->section); }
recursive_lock::~recursive_lock() { DeleteCriticalSection(&impl_->section); }
void recursive_lock::lock() { EnterCriticalSection(&impl_->section); }
void recursive_lock::unlock() { LeaveCriticalSection(&impl_->section); }
bool recursive_lock::try_lock() { return TryEnterCriticalSection(&impl_->section) != FALSE; }
