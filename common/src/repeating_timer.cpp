#include "common/repeating_timer.hpp"

#include <sys/resource.h>

namespace common {

RepeatingTimer::RepeatingTimer(std::chrono::nanoseconds interval, std::function<void()> handler,
                               QualityOfService quality)
    : interval_(interval), handler_(std::move(handler)), quality_(quality) {
    thread_ = std::thread([this] { run(); });
}

RepeatingTimer::~RepeatingTimer() { stop(); }

void RepeatingTimer::stop() {
    {
        std::lock_guard lock(mutex_);
        stopped_ = true;
    }
    wake_.notify_all();
    if (!thread_.joinable()) return;
    if (thread_.get_id() == std::this_thread::get_id()) {
        thread_.detach();
    } else {
        thread_.join();
    }
}

void RepeatingTimer::run() {
    if (quality_ == QualityOfService::utility) setpriority(PRIO_PROCESS, 0, 5);
    if (quality_ == QualityOfService::background) setpriority(PRIO_PROCESS, 0, 10);
    auto deadline = std::chrono::steady_clock::now();
    std::unique_lock lock(mutex_);
    while (!stopped_) {
        if (!wake_.wait_until(lock, deadline, [this] { return stopped_; })) {
            lock.unlock();
            handler_();
            lock.lock();
            deadline += interval_;
            const auto now = std::chrono::steady_clock::now();
            if (deadline < now) {
                const auto missed = (now - deadline) / interval_ + 1;
                deadline += missed * interval_;
            }
        }
    }
}

}  // namespace common
