#include "recorder/engine/screen_capture_recorder.hpp"

namespace recorder {

void ScreenCaptureRecorder::appendToAudioOutput(const AudioOutput& output,
                                                const std::shared_ptr<platform::SampleBuffer>& sample,
                                                const common::MediaTime& outputTime) {
    // Audio never waits: a busy or failed output loses this buffer, and only this output does.
    if (!output.writer || output.writer->status() != platform::WriterStatus::writing) return;
    if (!output.input->isReadyForMoreMediaData()) return;
    if (output.lastTime.isValid() && common::compare(outputTime, output.lastTime) <= 0) return;
    if (!output.firstTime) output.firstTime = outputTime;
    const platform::SampleTimingInfo timing{sample->duration(), outputTime, sample->decodeTimeStamp()};
    auto copy = sample->copyWithNewTiming(timing);
    if (!copy) return;
    if (!output.input->appendSampleBuffer(copy.value())) return;
    output.lastTime = outputTime;
    if (output.isInline) lastInlineAudioDuration = sample->duration();
}

void ScreenCaptureRecorder::routeSystemAudioSample(const std::shared_ptr<platform::SampleBuffer>& sample,
                                                   const common::MediaTime& outputTime) {
    if (!systemAudioInput) return;
    appendToAudioOutput({systemAudioWriter.get(), systemAudioInput.get(), lastSystemAudioPresentationTime,
                         firstSystemAudioSampleTime, false},
                        sample, outputTime);
    if (!inlineAudioInput) return;
    appendToAudioOutput({assetWriter.get(), inlineAudioInput.get(), lastInlineAudioPresentationTime,
                         firstInlineAudioSampleTime, true},
                        sample, outputTime);
}

void ScreenCaptureRecorder::routeMicrophoneSample(const std::shared_ptr<platform::SampleBuffer>& sample,
                                                  const common::MediaTime& outputTime) {
    if (microphoneOnlyInput) {
        appendToAudioOutput({microphoneOnlyWriter.get(), microphoneOnlyInput.get(), lastMicrophonePresentationTime,
                             firstMicrophoneSampleTime, false},
                            sample, outputTime);
    }
    // With system audio captured, the video file's audio track belongs to system audio.
    if (capturesSystemAudio) return;
    if (!inlineAudioInput) return;
    appendToAudioOutput({assetWriter.get(), inlineAudioInput.get(), lastInlineAudioPresentationTime,
                         firstInlineAudioSampleTime, true},
                        sample, outputTime);
}

}  // namespace recorder
