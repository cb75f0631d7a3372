#include <thread>

#include "recorder/control/tuning.hpp"
#include "recorder/engine/screen_capture_recorder.hpp"

namespace recorder {
namespace {

using common::MediaTime;

// Only frames the capture service marks complete carry a new picture worth writing.
bool hasCompleteFrameStatus(const platform::SampleBuffer& sample) {
    const auto& attachments = sample.sampleAttachments();
    if (!attachments || attachments->empty()) return false;
    const auto& first = attachments->front();
    if (first.empty()) return false;
    const auto status = first.find(platform::kFrameInfoStatusKey);
    if (status == first.end()) return false;
    const auto* value = std::get_if<int64_t>(&status->second);
    return value && *value == static_cast<int64_t>(platform::FrameStatus::complete);
}

bool isPositive(const MediaTime& time) { return time.isValid() && common::compare(time, MediaTime::zero()) > 0; }

}  // namespace

void ScreenCaptureRecorder::streamDidOutputSampleBuffer(platform::CaptureStream&,
                                                        std::shared_ptr<platform::SampleBuffer> sample,
                                                        int outputType) {
    if (!sample || !sample->isValid()) return;
    if (!sessionStarted) {
        // Sound delivered while the start completes can have been captured after the first frame
        // that will be written: it waits for that frame like sound delivered before it.
        if (outputType != static_cast<int>(platform::StreamOutputType::screen)) holdAudioBeforeFirstFrame(sample, outputType);
        return;
    }
    const MediaTime presentationTime = sample->presentationTimeStamp();
    if (!isRecording && !(stopHostTime && common::compare(presentationTime, *stopHostTime) < 0)) return;
    if (isPaused) return;

    const bool isScreen = outputType == static_cast<int>(platform::StreamOutputType::screen);
    // Samples captured during a pause can still be on their way here when the resume takes effect.
    // Taken as the first frame after the resume, such a frame would show the paused screen and cut
    // less than the whole pause; late sound would play what was said while paused.
    if (resumedHostTime && common::compare(presentationTime, *resumedHostTime) < 0) return;

    if (pendingResumeAdjustment) {
        if (!isScreen) return;
        if (!pauseStartedHostTime) return;
        const MediaTime delta = presentationTime - *pauseStartedHostTime;
        if (common::compare(delta, MediaTime::zero()) > 0) accumulatedPausedDuration = accumulatedPausedDuration + delta;
        pauseStartedHostTime.reset();
        pendingResumeAdjustment = false;
    }

    if (isScreen && firstSampleTime == MediaTime::zero()) {
        firstSampleTime = presentationTime;
        routeAudioBeforeFirstFrame();
    }
    if (firstSampleTime == MediaTime::zero()) {
        if (!isScreen) holdAudioBeforeFirstFrame(sample, outputType);
        return;
    }

    MediaTime outputTime = (presentationTime - firstSampleTime) - accumulatedPausedDuration;
    // Sound that began just before the first frame keeps its true time: the audio writers cut what
    // lies before the start. Moved to zero, it would push its own end onto the sound that follows.
    if (isScreen && !(common::compare(outputTime, MediaTime::zero()) >= 0)) outputTime = MediaTime::zero();

    switch (outputType) {
        case static_cast<int>(platform::StreamOutputType::screen): routeVideoSample(sample, outputTime); break;
        case static_cast<int>(platform::StreamOutputType::audio): routeSystemAudioSample(sample, outputTime); break;
        case static_cast<int>(platform::StreamOutputType::microphone):
            routeMicrophoneSample(sample, outputTime);
            break;
        default: break;
    }
}

void ScreenCaptureRecorder::holdAudioBeforeFirstFrame(const std::shared_ptr<platform::SampleBuffer>& sample,
                                                      int outputType) {
    audioBeforeFirstFrame.emplace_back(sample, outputType);
    // Only sound from the last moments before the first frame can reach into the recording.
    const MediaTime oldest = sample->presentationTimeStamp() - MediaTime::make(1, 1);
    while (common::compare(audioBeforeFirstFrame.front().first->presentationTimeStamp(), oldest) < 0) {
        audioBeforeFirstFrame.pop_front();
    }
}

void ScreenCaptureRecorder::routeAudioBeforeFirstFrame() {
    auto held = std::move(audioBeforeFirstFrame);
    audioBeforeFirstFrame.clear();
    for (const auto& [sample, outputType] : held) {
        // Whatever lies before the first frame is cut by the writers; the rest is the recording's.
        const MediaTime outputTime = (sample->presentationTimeStamp() - firstSampleTime) - accumulatedPausedDuration;
        if (outputType == static_cast<int>(platform::StreamOutputType::audio)) routeSystemAudioSample(sample, outputTime);
        if (outputType == static_cast<int>(platform::StreamOutputType::microphone)) routeMicrophoneSample(sample, outputTime);
    }
}

void ScreenCaptureRecorder::routeVideoSample(const std::shared_ptr<platform::SampleBuffer>& sample,
                                             const MediaTime& outputTime) {
    if (frameCount > 0 && common::compare(outputTime, lastVideoPresentationTime) <= 0) return;
    if (!hasCompleteFrameStatus(*sample)) return;
    if (!videoInput || !assetWriter) return;
    if (assetWriter->status() != platform::WriterStatus::writing) return;
    if (!videoInput->isReadyForMoreMediaData()) return;

    lastSampleBuffer = sample;

    bool appended = false;
    if (videoPixelBufferAdaptor) {
        appended = appendCroppedVideoFrame(sample, outputTime);
    } else {
        const platform::SampleTimingInfo timing{sample->duration(), outputTime, sample->decodeTimeStamp()};
        auto copy = sample->copyWithNewTiming(timing);
        if (!copy) return;
        appended = videoInput->appendSampleBuffer(copy.value());
    }
    if (!appended) return;

    lastVideoPresentationTime = outputTime;
    lastVideoDuration = sample->duration();
    frameCount += 1;
    if (frameCount == 1) lines_.out("Recording started");
}

void ScreenCaptureRecorder::streamDidStopWithError(platform::CaptureStream&, const common::Error& error) {
    lines_.err("Error: " + error.description());
}

MediaTime ScreenCaptureRecorder::frameDuration(const std::shared_ptr<platform::SampleBuffer>& sample) const {
    if (sample && isPositive(sample->duration())) return sample->duration();
    if (isPositive(lastVideoDuration)) return lastVideoDuration;
    return MediaTime::make(1, static_cast<int32_t>(targetCaptureFPS));
}

bool ScreenCaptureRecorder::waitUntilReady(platform::WriterInput& input, platform::AssetWriter* writer,
                                           const common::TaskContext* waitingTask) const {
    if (!writer) return false;
    if (writer->status() != platform::WriterStatus::writing) return false;
    if (input.isReadyForMoreMediaData()) return true;
    const std::chrono::nanoseconds interval(writerReadinessPollInterval);
    for (int64_t remaining = writerReadinessPollAttempts; remaining > 0;) {
        if (waitingTask) {
            if (!waitingTask->sleepFor(interval)) return false;
        } else {
            std::this_thread::sleep_for(interval);
        }
        if (writer->status() != platform::WriterStatus::writing) return false;
        remaining -= 1;
        if (input.isReadyForMoreMediaData()) return true;
    }
    return false;
}

}  // namespace recorder
