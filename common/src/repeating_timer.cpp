#include "common/repeating_timer.hpp"

#include <sys/resource.h>

namespace common {

RepeatingTimer::RepeatingTimer(std::chrono::nanoseconds interval, std::function<void()> handler,
                               QualityOfService quality)
    : state_(std::make_shared<State>()) {
    state_->interval = interval;
    state_->handler = std::move(handler);
    state_->quality = quality;
    std::lock_guard lock(threadMutex_);
    thread_ = std::thread([state = state_] { run(state); });
}

RepeatingTimer::~RepeatingTimer() { stop(); }

void RepeatingTimer::stop() {
    {
        std::lock_guard lock(state_->mutex);
        state_->stopped = true;
        state_->wake.notify_all();
    }
    std::lock_guard lock(threadMutex_);
    if (!thread_.joinable()) return;
    if (thread_.get_id() == std::this_thread::get_id()) {
        thread_.detach();  // stopped from its own handler: the thread ends after the handler returns
    } else {
        thread_.join();
    }
}

void RepeatingTimer::run(const std::shared_ptr<State>& state) {
    if (state->quality == QualityOfService::utility) setpriority(PRIO_PROCESS, 0, 5);
    if (state->quality == QualityOfService::background) setpriority(PRIO_PROCESS, 0, 10);
    std::unique_lock lock(state->mutex);
    auto deadline = std::chrono::steady_clock::now();
    while (!state->stopped) {
        if (state->wake.wait_until(lock, deadline, [&] { return state->stopped; })) break;
        lock.unlock();
        state->handler();
        lock.lock();
        deadline += state->interval;
        const auto now = std::chrono::steady_clock::now();
        if (deadline < now) {
            const auto missed = (now - deadline) / state->interval + 1;
            deadline += missed * state->interval;
        }
    }
}

}  // namespace common
