#include <chrono>

#include "recorder/engine/screen_capture_recorder.hpp"

namespace recorder {
namespace {

constexpr std::chrono::nanoseconds kTrackingInterval{500'000'000};

}  // namespace

void ScreenCaptureRecorder::startWindowValidationIfNeeded() {
    if (!trackedWindowId) {
        if (windowValidationTask) windowValidationTask->cancel();
        windowValidationTask.reset();
        return;
    }
    const uint32_t windowId = *trackedWindowId;
    if (windowValidationTask) windowValidationTask->cancel();
    std::weak_ptr<ScreenCaptureRecorder> weakSelf = weak_from_this();
    auto task = common::BackgroundTask::start(
        [weakSelf, windowId](const common::TaskContext& context) {
            const auto self = weakSelf.lock();
            if (!self) return;
            if (context.isCancelled()) return;
            self->runWindowTracker(windowId, context);
        },
        common::QualityOfService::utility, "window-tracker");
    // Written where finalisation also writes it: on the sample queue.
    queue.sync([this, task] { windowValidationTask = task; });
}

void ScreenCaptureRecorder::runWindowTracker(uint32_t windowId, const common::TaskContext& task) {
    for (;;) {
        (void)task.sleepFor(kTrackingInterval);  // cut short by cancellation; checked just below
        if (task.isCancelled()) return;
        if (!isRecording) return;

        const auto content = platform_.capture->shareableContent(false, true);
        if (content) {
            const platform::Window* window = nullptr;
            for (const auto& candidate : content->windows) {
                if (candidate.windowID == windowId) {
                    window = &candidate;
                    break;
                }
            }
            if (!window) {
                windowGone();
                return;
            }
            const auto display = captureDisplay(window->frame, content->displays);
            const auto visible = display ? common::intersection(window->frame, display->frame) : std::nullopt;
            if (display && visible && visible->width > 0 && visible->height > 0) {
                const common::Rect& frame = display->frame;
                const common::Rect crop{(visible->minX() - frame.minX()) / frame.width,
                                        (visible->minY() - frame.minY()) / frame.height, visible->width / frame.width,
                                        visible->height / frame.height};
                // Finalisation releases the stream and empties the set from another thread; take
                // both on the sample queue, and hold our own reference to the stream while using it.
                struct Snapshot {
                    std::optional<uint32_t> cropDisplayId;
                    std::shared_ptr<platform::CaptureStream> stream;
                    std::set<int32_t> excluded;
                };
                const Snapshot snapshot =
                    queue.sync([this] { return Snapshot{windowCropDisplayId, stream, excludedProcessIds}; });
                bool filterUpdated = true;
                if ((!snapshot.cropDisplayId || *snapshot.cropDisplayId != display->displayID) && snapshot.stream) {
                    platform::ContentFilter filter;
                    filter.display = *display;
                    for (const auto& application : content->applications) {
                        if (snapshot.excluded.count(application.processID))
                            filter.excludedApplications.push_back(application);
                    }
                    filterUpdated = !snapshot.stream->updateContentFilter(filter).has_value();
                }
                if (filterUpdated) {
                    const uint32_t displayID = display->displayID;
                    queue.sync([this, crop, displayID] {
                        if (!isRecording) return;
                        windowCropRect = crop;
                        windowCropDisplayId = displayID;
                    });
                }
            }
        }
        if (task.isCancelled()) return;
    }
}

void ScreenCaptureRecorder::windowGone() {
    lines_.out("WINDOW_UNAVAILABLE");
    const CaptureFinalizationResult result = finalizeCapture(false);
    if (result.interactiveStopParticipated) return;  // the stop command reports the outcome
    if (!result.succeeded()) {
        lines_.err("Error stopping capture: " + result.error().description());
        processExit_(1);
        return;
    }
    lines_.out("Recording stopped. Output path: " + result.outputPath());
    processExit_(0);
}

}  // namespace recorder
