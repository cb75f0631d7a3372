#include <future>

#include "recorder/engine/capture_errors.hpp"
#include "recorder/engine/screen_capture_recorder.hpp"

namespace recorder {

ScreenCaptureRecorder::CaptureFinalizationResult ScreenCaptureRecorder::finalizeCapture(bool interactive) {
    // The requester waits on its own promise, never on the sample queue: the completion needs
    // that queue to run.
    auto waiter = std::make_shared<std::promise<CaptureFinalizationResult>>();
    auto result = waiter->get_future();
    auto self = shared_from_this();
    queue.async([self, waiter, interactive] {
        if (self->isFinalizing) {
            self->interactiveStopParticipated = self->interactiveStopParticipated || interactive;
            self->finalizationWaiters.push_back(waiter);
            return;
        }
        if (self->isRecording) {
            self->isFinalizing = true;
            self->interactiveStopParticipated = interactive;
            self->isRecording = false;
            self->stopHostTime = self->platform_.hostClock();
            self->windowValidationTask.reset();  // the tracker ends by itself once it sees isRecording false
            self->trackedWindowId.reset();
            self->finalizationWaiters.push_back(waiter);
            common::BackgroundTask::start([self](const common::TaskContext& task) {
                auto finished = self->finishCapture(task);
                std::variant<std::string, common::Error> outcome;
                if (finished) outcome = finished.value();
                else outcome = finished.error();
                self->queue.async([self, outcome = std::move(outcome)] { self->completeFinalization(outcome); });
            });
            return;
        }
        waiter->set_value(CaptureFinalizationResult{captureError(CaptureErrorKind::noRecordingInProgress), interactive});
    });
    return result.get();
}

void ScreenCaptureRecorder::completeFinalization(std::variant<std::string, common::Error> outcome) {
    const bool participated = interactiveStopParticipated;
    auto waiters = std::move(finalizationWaiters);
    finalizationWaiters.clear();
    isFinalizing = false;
    interactiveStopParticipated = false;
    for (const auto& waiter : waiters) waiter->set_value(CaptureFinalizationResult{outcome, participated});
}

common::Result<std::string> ScreenCaptureRecorder::stopCapture() {
    const CaptureFinalizationResult result = finalizeCapture(true);
    if (result.succeeded()) return result.outputPath();
    return result.error();
}

}  // namespace recorder
