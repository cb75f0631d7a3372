#include "common/background_task.hpp"

#include <pthread.h>
#include <sys/resource.h>

#include <condition_variable>
#include <mutex>
#include <thread>

namespace common {

class TaskState {
public:
    std::mutex mutex;
    std::condition_variable changed;
    bool cancelled = false;
    bool finished = false;
    std::thread::id threadId;
};

namespace {

// Lower classes yield the CPU to capture and encoding threads; raising priority needs privileges
// we do not assume, so the urgent classes keep the default.
void applyQuality(QualityOfService quality) {
    int niceness = 0;
    switch (quality) {
        case QualityOfService::utility: niceness = 5; break;
        case QualityOfService::background: niceness = 10; break;
        default: return;
    }
    setpriority(PRIO_PROCESS, 0, niceness);  // per-thread on Linux; failure only costs priority
}

void nameThread(const std::string& name) {
    if (name.empty()) return;
    pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
}

}  // namespace

bool TaskContext::isCancelled() const {
    std::lock_guard lock(state_->mutex);
    return state_->cancelled;
}

bool TaskContext::sleepFor(std::chrono::nanoseconds duration) const {
    std::unique_lock lock(state_->mutex);
    return !state_->changed.wait_for(lock, duration, [this] { return state_->cancelled; });
}

BackgroundTask BackgroundTask::start(std::function<void(const TaskContext&)> body, QualityOfService quality,
                                     std::string name) {
    BackgroundTask task;
    task.state_ = std::make_shared<TaskState>();
    auto state = task.state_;
    std::thread thread([state, body = std::move(body), quality, name = std::move(name)] {
        applyQuality(quality);
        nameThread(name);
        body(TaskContext(state));
        std::lock_guard lock(state->mutex);
        state->finished = true;
        state->changed.notify_all();
    });
    {
        std::lock_guard lock(state->mutex);
        state->threadId = thread.get_id();
    }
    thread.detach();
    return task;
}

void BackgroundTask::cancel() const {
    if (!state_) return;
    std::lock_guard lock(state_->mutex);
    state_->cancelled = true;
    state_->changed.notify_all();
}

bool BackgroundTask::isCancelled() const {
    if (!state_) return false;
    std::lock_guard lock(state_->mutex);
    return state_->cancelled;
}

bool BackgroundTask::isFinished() const {
    if (!state_) return true;
    std::lock_guard lock(state_->mutex);
    return state_->finished;
}

void BackgroundTask::join() const {
    if (!state_) return;
    std::unique_lock lock(state_->mutex);
    if (state_->threadId == std::this_thread::get_id()) return;
    state_->changed.wait(lock, [this] { return state_->finished; });
}

bool BackgroundTask::joinFor(std::chrono::nanoseconds timeout) const {
    if (!state_) return true;
    std::unique_lock lock(state_->mutex);
    if (state_->threadId == std::this_thread::get_id()) return false;
    return state_->changed.wait_for(lock, timeout, [this] { return state_->finished; });
}

void dispatchGlobal(QualityOfService quality, std::function<void()> work) {
    BackgroundTask::start([work = std::move(work)](const TaskContext&) { work(); }, quality);
}

}  // namespace common
