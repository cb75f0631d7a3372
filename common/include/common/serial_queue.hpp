#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <type_traits>

namespace common {

// A labelled queue that runs submitted work one item at a time, in submission order, on its
// own thread. Work never overlaps, so state touched only from the queue needs no lock.
class SerialQueue {
public:
    explicit SerialQueue(std::string label);
    // Runs every item already submitted, then stops the thread.
    ~SerialQueue();
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    const std::string& label() const { return label_; }
    void async(std::function<void()> work);
    // True on the queue's own thread.
    bool isCurrent() const;

    // Submits `work` and waits for its result. On the queue's own thread it runs inline, since
    // waiting for itself would never end.
    template <class F>
    auto sync(F&& work) -> std::invoke_result_t<F> {
        using R = std::invoke_result_t<F>;
        if (isCurrent()) return work();
        auto task = std::make_shared<std::packaged_task<R()>>(std::forward<F>(work));
        auto result = task->get_future();
        async([task] { (*task)(); });
        return result.get();
    }

private:
    // Shared with the worker thread, so that a queue destroyed from one of its own items (its
    // owner's last reference dropped there) leaves the thread valid state to finish with.
    struct State {
        std::mutex mutex;
        std::condition_variable wake;
        std::deque<std::function<void()>> items;
        bool stopping = false;
    };
    static void run(const std::shared_ptr<State>& state);

    std::string label_;
    std::shared_ptr<State> state_ = std::make_shared<State>();
    std::thread thread_;
};

}  // namespace common
