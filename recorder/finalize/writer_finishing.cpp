#include "recorder/control/tuning.hpp"
#include "recorder/engine/capture_errors.hpp"
#include "recorder/engine/screen_capture_recorder.hpp"

namespace recorder {
namespace {

using common::MediaTime;

bool isPositive(const MediaTime& time) { return time.isValid() && common::compare(time, MediaTime::zero()) > 0; }

}  // namespace

// Runs in the finishing task after isRecording was cleared on the sample queue: from then on the
// sample path only drops samples, so the fields it used are read here without the queue. Fields
// that the window tracker also reads (the stream) and the final reset are changed on the queue.
common::Result<std::string> ScreenCaptureRecorder::finishCapture(const common::TaskContext& task) {
    if (const auto running = queue.sync([this] { return stream; })) {
        (void)running->stopCapture();  // a failed stop changes nothing about the files
    }
    // The stream has delivered everything it will; from here on the finishing reads the fields alone.
    queue.sync([this] {
        stream.reset();
        stopHostTime.reset();
    });

    if (lastSampleBuffer && videoInput) {
        if (waitUntilReady(*videoInput, assetWriter.get(), &task)) {
            const MediaTime closingTime = lastVideoPresentationTime + frameDuration(lastSampleBuffer);
            if (videoPixelBufferAdaptor && lastCroppedPixelBuffer) {
                (void)videoPixelBufferAdaptor->appendPixelBuffer(lastCroppedPixelBuffer, closingTime);
            } else {
                const platform::SampleTimingInfo timing{lastSampleBuffer->duration(), closingTime,
                                                        lastSampleBuffer->decodeTimeStamp()};
                if (auto copy = lastSampleBuffer->copyWithNewTiming(timing)) (void)videoInput->appendSampleBuffer(copy.value());
            }
        }
    }

    const MediaTime videoEnd =
        lastSampleBuffer ? lastVideoPresentationTime + frameDuration(lastSampleBuffer) : lastVideoPresentationTime + MediaTime::zero();
    MediaTime inlineAudioEnd = MediaTime::invalid();
    if (lastInlineAudioPresentationTime.isValid()) {
        inlineAudioEnd = isPositive(lastInlineAudioDuration) ? lastInlineAudioPresentationTime + lastInlineAudioDuration
                                                             : lastInlineAudioPresentationTime;
    }
    MediaTime sessionEnd = videoEnd;
    if (inlineAudioEnd.isValid() && common::compare(inlineAudioEnd, videoEnd) > 0)
        sessionEnd = videoEnd + common::minimum(inlineAudioEnd - videoEnd, maxInlineAudioTailExtension);

    if (assetWriter && assetWriter->status() == platform::WriterStatus::writing) {
        assetWriter->endSessionAtSourceTime(sessionEnd);
        if (videoInput) videoInput->markAsFinished();
        if (inlineAudioInput) inlineAudioInput->markAsFinished();
        assetWriter->finishWriting();
    }
    // One after another: a separate file is finished only once the video file is.
    if (systemAudioWriter && systemAudioWriter->status() == platform::WriterStatus::writing) {
        if (systemAudioInput) systemAudioInput->markAsFinished();
        systemAudioWriter->finishWriting();
    }
    if (microphoneOnlyWriter && microphoneOnlyWriter->status() == platform::WriterStatus::writing) {
        if (microphoneOnlyInput) microphoneOnlyInput->markAsFinished();
        microphoneOnlyWriter->finishWriting();
    }

    std::optional<common::Error> failure;
    for (platform::AssetWriter* writer : {assetWriter.get(), systemAudioWriter.get(), microphoneOnlyWriter.get()}) {
        if (!writer) continue;
        const platform::WriterStatus status = writer->status();
        if (status == platform::WriterStatus::completed) continue;
        if (auto own = writer->error()) failure = *own;
        else failure = writerNotCompletedError(static_cast<int>(status));
        break;
    }

    const std::string path = outputURL.value_or(std::string());
    queue.sync([this] { resetRecordingState(); });
    if (failure) return *failure;
    return path;
}

void ScreenCaptureRecorder::resetRecordingState() {
    assetWriter.reset();
    videoInput.reset();
    videoPixelBufferAdaptor.reset();
    windowCropRect.reset();
    windowCropDisplayId.reset();
    excludedProcessIds.clear();
    lastCroppedPixelBuffer.reset();
    systemAudioWriter.reset();
    systemAudioInput.reset();
    microphoneOnlyWriter.reset();
    microphoneOnlyInput.reset();
    inlineAudioInput.reset();
    outputURL.reset();
    microphoneOutputURL.reset();
    sessionStarted = false;
    firstSampleTime = MediaTime::zero();
    firstSystemAudioSampleTime.reset();
    firstMicrophoneSampleTime.reset();
    lastSystemAudioPresentationTime = MediaTime::invalid();
    lastMicrophonePresentationTime = MediaTime::invalid();
    firstInlineAudioSampleTime.reset();
    lastSampleBuffer.reset();
    lastVideoPresentationTime = MediaTime::zero();
    lastVideoDuration = MediaTime::zero();
    lastInlineAudioPresentationTime = MediaTime::invalid();
    lastInlineAudioDuration = MediaTime::zero();
    frameCount = 0;
    isPaused = false;
    pauseStartedHostTime.reset();
    pendingResumeAdjustment = false;
    resumedHostTime.reset();
    accumulatedPausedDuration = MediaTime::zero();
    capturesSystemAudio = false;
    capturesMicrophone = false;
    writesSystemAudioToSeparateTrack = false;
    writesMicrophoneToSeparateTrack = false;
}

}  // namespace recorder
