#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

#include "common/background_task.hpp"

namespace common {

// Calls a handler on a thread of its own at fixed deadlines: the first at once, then every
// `interval` after the first. Deadlines missed while the handler ran late are dropped, not
// caught up in a burst.
class RepeatingTimer {
public:
    RepeatingTimer(std::chrono::nanoseconds interval, std::function<void()> handler,
                   QualityOfService quality = QualityOfService::defaultClass);
    // Stops the timer; see stop().
    ~RepeatingTimer();
    RepeatingTimer(const RepeatingTimer&) = delete;
    RepeatingTimer& operator=(const RepeatingTimer&) = delete;

    // No handler call starts after stop() returns; a call in progress on another thread is waited for.
    void stop();

private:
    // Shared with the timer thread: a handler may stop the timer and its owner may destroy it
    // while the thread is still returning from that handler.
    struct State {
        std::chrono::nanoseconds interval;
        std::function<void()> handler;
        QualityOfService quality;
        std::mutex mutex;
        std::condition_variable wake;
        bool stopped = false;
    };
    static void run(const std::shared_ptr<State>& state);

    std::shared_ptr<State> state_;
    std::mutex threadMutex_;
    std::thread thread_;
};

}  // namespace common
