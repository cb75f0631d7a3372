#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace common {

// Scheduling classes of background work, from most to least urgent.
enum class QualityOfService { userInteractive, userInitiated, defaultClass, utility, background };

// Shared between a running task and every handle to it.
class TaskState;

// What a task's body sees of itself: its cancellation flag and a sleep that cancellation cuts short.
class TaskContext {
public:
    explicit TaskContext(std::shared_ptr<TaskState> state) : state_(std::move(state)) {}
    bool isCancelled() const;
    // Sleeps for `duration`; false when the task was cancelled before or during the sleep.
    bool sleepFor(std::chrono::nanoseconds duration) const;

private:
    std::shared_ptr<TaskState> state_;
};

// A handle to work running on a thread of its own. Dropping the handle neither cancels nor waits
// for the work: it runs to its end, as detached work does.
class BackgroundTask {
public:
    BackgroundTask() = default;
    static BackgroundTask start(std::function<void(const TaskContext&)> body,
                                QualityOfService quality = QualityOfService::defaultClass,
                                std::string name = {});

    bool isValid() const { return state_ != nullptr; }
    void cancel() const;
    bool isCancelled() const;
    bool isFinished() const;
    // Blocks until the body has returned; returns at once when called from the task itself.
    void join() const;
    bool joinFor(std::chrono::nanoseconds timeout) const;

private:
    std::shared_ptr<TaskState> state_;
};

// Runs `work` on a thread of the given class; the caller does not wait for it.
void dispatchGlobal(QualityOfService quality, std::function<void()> work);

}  // namespace common
