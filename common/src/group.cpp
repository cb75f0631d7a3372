#include "common/group.hpp"

namespace common {

void Group::enter() {
    std::lock_guard lock(mutex_);
    ++count_;
}

bool Group::leave() {
    std::lock_guard lock(mutex_);
    if (count_ == 0) return false;
    if (--count_ == 0) emptied_.notify_all();
    return true;
}

void Group::wait() {
    std::unique_lock lock(mutex_);
    emptied_.wait(lock, [this] { return count_ == 0; });
}

bool Group::waitFor(std::chrono::nanoseconds timeout) {
    std::unique_lock lock(mutex_);
    return emptied_.wait_for(lock, timeout, [this] { return count_ == 0; });
}

int64_t Group::count() const {
    std::lock_guard lock(mutex_);
    return count_;
}

void Semaphore::signal() {
    // Notified under the lock: a waiter that wakes may destroy the semaphore at once, so the
    // signaller must be done with it before the waiter can return.
    std::lock_guard lock(mutex_);
    ++value_;
    available_.notify_one();
}

void Semaphore::wait() {
    std::unique_lock lock(mutex_);
    available_.wait(lock, [this] { return value_ > 0; });
    --value_;
}

bool Semaphore::waitFor(std::chrono::nanoseconds timeout) {
    std::unique_lock lock(mutex_);
    if (!available_.wait_for(lock, timeout, [this] { return value_ > 0; })) return false;
    --value_;
    return true;
}

}  // namespace common
