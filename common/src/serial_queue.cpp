#include "common/serial_queue.hpp"

#include <pthread.h>

namespace common {

SerialQueue::SerialQueue(std::string label) : label_(std::move(label)) {
    thread_ = std::thread([this] { run(); });
    // Thread names are limited to 15 bytes; the tail of a dotted label is the telling part.
    const std::string name = label_.size() > 15 ? label_.substr(label_.size() - 15) : label_;
    pthread_setname_np(thread_.native_handle(), name.c_str());
}

SerialQueue::~SerialQueue() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    if (thread_.get_id() == std::this_thread::get_id()) {
        thread_.detach();
    } else {
        thread_.join();
    }
}

void SerialQueue::async(std::function<void()> work) {
    {
        std::lock_guard lock(mutex_);
        items_.push_back(std::move(work));
    }
    wake_.notify_one();
}

bool SerialQueue::isCurrent() const { return thread_.get_id() == std::this_thread::get_id(); }

void SerialQueue::run() {
    for (;;) {
        std::function<void()> item;
        {
            std::unique_lock lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || !items_.empty(); });
            if (items_.empty()) return;
            item = std::move(items_.front());
            items_.pop_front();
        }
        item();
    }
}

}  // namespace common
