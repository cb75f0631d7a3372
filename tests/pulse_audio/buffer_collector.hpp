#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "recorder/platform/linux/pulse/audio_source.hpp"

namespace pulsetest {

using Buffers = std::vector<std::shared_ptr<recorder::platform::SampleBuffer>>;

// Keeps every buffer a capture delivers, and lets a test wait for what it needs to have arrived.
class BufferCollector {
public:
    recorder::linux_backend::AudioHandler handler() {
        return [this](std::shared_ptr<recorder::platform::SampleBuffer> buffer) {
            {
                const std::lock_guard lock(mutex_);
                buffers_.push_back(std::move(buffer));
            }
            changed_.notify_all();
        };
    }

    void clear() {
        const std::lock_guard lock(mutex_);
        buffers_.clear();
    }

    Buffers snapshot() const {
        const std::lock_guard lock(mutex_);
        return buffers_;
    }

    // True once `done(buffers)` holds; false when `timeout` passes first.
    bool waitUntil(const std::function<bool(const Buffers&)>& done, std::chrono::milliseconds timeout) const {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return done(buffers_); });
    }

    // Waits until the captured audio reaches host time `hostNs`.
    bool waitUntilCovered(int64_t hostNs, std::chrono::milliseconds timeout) const {
        return waitUntil([hostNs](const Buffers& buffers) { return !buffers.empty() && endNs(*buffers.back()) >= hostNs; },
                         timeout);
    }

    static int64_t endNs(const recorder::platform::SampleBuffer& buffer) {
        return buffer.presentationTimeStamp().nanoseconds() + buffer.duration().nanoseconds();
    }

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    Buffers buffers_;
};

// The first moment in `buffers` at or after `fromNs` where the audio is at least `threshold`
// loud; -1 when there is none.
int64_t firstOnset(const Buffers& buffers, int64_t fromNs, float threshold = 0.1f);

// The host-time span covered by `buffers`: from the first buffer's start to the last one's end.
int64_t coveredNs(const Buffers& buffers);

}  // namespace pulsetest
