#include "recorder/engine/screen_capture_recorder.hpp"

namespace recorder {

// Both run as blocks on the sample queue, so a pause or resume takes effect between two samples.
bool ScreenCaptureRecorder::pauseCapture() {
    return queue.sync([this] {
        if (!isRecording) return false;
        if (isPaused) return true;
        isPaused = true;
        pauseStartedHostTime = platform_.hostClock();
        pendingResumeAdjustment = false;
        return true;
    });
}

bool ScreenCaptureRecorder::resumeCapture() {
    return queue.sync([this] {
        if (!isRecording) return false;
        if (!isPaused) return true;
        isPaused = false;
        pendingResumeAdjustment = true;
        resumedHostTime = platform_.hostClock();
        return true;
    });
}

}  // namespace recorder
