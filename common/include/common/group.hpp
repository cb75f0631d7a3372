#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>

namespace common {

// Counts outstanding work: enter before it starts, leave when it is done, wait until none is left.
class Group {
public:
    void enter();
    // Returns false, and changes nothing, when the group is already empty: a group is never left
    // more often than it was entered.
    bool leave();
    void wait();
    // False when the timeout passed with work still outstanding.
    bool waitFor(std::chrono::nanoseconds timeout);
    int64_t count() const;

private:
    mutable std::mutex mutex_;
    std::condition_variable emptied_;
    int64_t count_ = 0;
};

// A counting semaphore: wait takes one unit, blocking while there is none; signal adds one.
class Semaphore {
public:
    explicit Semaphore(int64_t initial = 0) : value_(initial) {}
    void signal();
    void wait();
    bool waitFor(std::chrono::nanoseconds timeout);

private:
    std::mutex mutex_;
    std::condition_variable available_;
    int64_t value_;
};

}  // namespace common
