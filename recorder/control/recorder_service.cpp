#include "recorder/control/recorder_service.hpp"

#include "common/background_task.hpp"

namespace recorder {

RecorderService::RecorderService(std::shared_ptr<RecorderOperations> recorder, common::LineSink& lines)
    : recorder_(std::move(recorder)), lines_(lines) {}

RecorderService::~RecorderService() = default;

void RecorderService::enqueue(std::function<void()> operation) {
    queue_.async([operation = std::move(operation)] {
        // Holding the queue until the operation's task has ended keeps commands from overlapping,
        // including everything the operation waits for.
        common::Semaphore done(0);
        common::BackgroundTask::start([&operation, &done](const common::TaskContext&) {
            operation();
            done.signal();
        });
        done.wait();
    });
}

void RecorderService::leaveCompletionGroupOnce() {
    // A stop that completes after a failed start has already left must not leave again.
    if (!completionGroupLeft_.exchange(true)) completionGroup_.leave();
}

void RecorderService::start(const std::string& configJSON) {
    completionGroup_.enter();
    enqueue([this, configJSON] {
        if (const auto error = recorder_->startCapture(configJSON)) {
            succeeded_ = false;
            lines_.err("Error starting capture: " + error->description());
            leaveCompletionGroupOnce();
        }
    });
}

void RecorderService::pause() {
    enqueue([this] {
        if (recorder_->pauseCapture()) lines_.out("Recording paused");
    });
}

void RecorderService::resume() {
    enqueue([this] {
        if (recorder_->resumeCapture()) lines_.out("Recording resumed");
    });
}

void RecorderService::stop() {
    enqueue([this] {
        const CaptureFinalizationResult result = recorder_->finalizeCapture(true);
        if (result.succeeded()) {
            lines_.out("Recording stopped. Output path: " + result.outputPath());
        } else {
            succeeded_ = false;
            lines_.err("Error stopping capture: " + result.error().description());
        }
        leaveCompletionGroupOnce();
    });
}

bool RecorderService::waitUntilFinished() {
    completionGroup_.wait();
    return succeeded_.load();
}

std::optional<bool> RecorderService::waitUntilFinishedFor(std::chrono::nanoseconds timeout) {
    if (!completionGroup_.waitFor(timeout)) return std::nullopt;
    return succeeded_.load();
}

}  // namespace recorder
