#pragma once

#include <atomic>
#include <functional>
#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "common/group.hpp"
#include "common/output_lines.hpp"
#include "common/serial_queue.hpp"
#include "recorder/control/recorder_operations.hpp"

namespace recorder {

// Runs start, pause, resume and stop strictly one after another, each to its very end before the
// next begins, and turns every outcome into its status line.
class RecorderService {
public:
    static constexpr const char* kCommandQueueLabel = "zentrova.screencapturekit.commands";

    RecorderService(std::shared_ptr<RecorderOperations> recorder, common::LineSink& lines);
    ~RecorderService();

    // Each returns at once; the command runs later on the command queue.
    void start(const std::string& configJSON);
    void pause();
    void resume();
    void stop();

    // Blocks until the recording is over for the service (start failed or a stop completed).
    bool waitUntilFinished();
    // The same with a time limit: none when the recording is still running after `timeout`.
    std::optional<bool> waitUntilFinishedFor(std::chrono::nanoseconds timeout);
    bool succeeded() const { return succeeded_.load(); }

private:
    void enqueue(std::function<void()> operation);
    void leaveCompletionGroupOnce();

    std::shared_ptr<RecorderOperations> recorder_;
    common::LineSink& lines_;
    common::Group completionGroup_;
    std::atomic<bool> succeeded_{true};
    std::atomic<bool> completionGroupLeft_{false};
    // Last member: destroyed first, so queued commands finish while the rest still exists.
    common::SerialQueue queue_{kCommandQueueLabel};
};

}  // namespace recorder
