#include "common/serial_queue.hpp"

#include <pthread.h>

namespace common {

SerialQueue::SerialQueue(std::string label) : label_(std::move(label)) {
    thread_ = std::thread([state = state_] { run(state); });
    // Thread names are limited to 15 bytes; the tail of a dotted label is the telling part.
    const std::string name = label_.size() > 15 ? label_.substr(label_.size() - 15) : label_;
    pthread_setname_np(thread_.native_handle(), name.c_str());
}

SerialQueue::~SerialQueue() {
    {
        std::lock_guard lock(state_->mutex);
        state_->stopping = true;
        state_->wake.notify_one();
    }
    if (thread_.get_id() == std::this_thread::get_id()) {
        thread_.detach();  // the thread finishes the remaining items on its own copy of the state
    } else {
        thread_.join();
    }
}

void SerialQueue::async(std::function<void()> work) {
    std::lock_guard lock(state_->mutex);
    state_->items.push_back(std::move(work));
    state_->wake.notify_one();
}

bool SerialQueue::isCurrent() const { return thread_.get_id() == std::this_thread::get_id(); }

void SerialQueue::run(const std::shared_ptr<State>& state) {
    for (;;) {
        std::function<void()> item;
        {
            std::unique_lock lock(state->mutex);
            state->wake.wait(lock, [&] { return state->stopping || !state->items.empty(); });
            if (state->items.empty()) return;
            item = std::move(state->items.front());
            state->items.pop_front();
        }
        item();
    }
}

}  // namespace common
