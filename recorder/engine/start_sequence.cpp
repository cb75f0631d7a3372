#include "recorder/engine/capture_errors.hpp"
#include "recorder/engine/screen_capture_recorder.hpp"

namespace recorder {
namespace {

// The request arrives as text from the command line; it must be valid UTF-8 to be JSON at all.
bool isValidUtf8(const std::string& text) {
    size_t i = 0;
    while (i < text.size()) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        size_t length = 0;
        uint32_t codePoint = 0;
        if (c < 0x80) {
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            length = 2;
            codePoint = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            length = 3;
            codePoint = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            length = 4;
            codePoint = c & 0x07;
        } else {
            return false;
        }
        if (i + length > text.size()) return false;
        for (size_t k = 1; k < length; ++k) {
            const unsigned char next = static_cast<unsigned char>(text[i + k]);
            if ((next & 0xC0) != 0x80) return false;
            codePoint = (codePoint << 6) | (next & 0x3F);
        }
        static constexpr uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (codePoint < kSmallest[length] || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF))
            return false;
        i += length;
    }
    return true;
}

}  // namespace

common::Status ScreenCaptureRecorder::startCapture(const std::string& configJSON) {
    if (isRecording) return captureError(CaptureErrorKind::recordingAlreadyInProgress);
    if (!isValidUtf8(configJSON)) return captureError(CaptureErrorKind::invalidJSONInput);

    const auto config = decodeCaptureConfig(configJSON);
    if (!config) return config.error();

    const auto content = platform_.capture->shareableContent(false, true);
    if (!content) return content.error();

    platform::StreamConfiguration configuration = configureStream(config.value());

    const auto source = resolveCaptureSource(config.value(), content.value(), configuration);
    if (!source) return source.error();

    if (auto error = setUpWriters(config.value(), source->outputWidth, source->outputHeight, configuration.pixelFormat))
        return error;

    auto newStream = platform_.capture->makeStream(source->filter, configuration, weak_from_this());
    if (!newStream) return newStream.error();
    stream = newStream.value();

    const std::weak_ptr<platform::StreamOutput> output = weak_from_this();
    if (auto error = stream->addStreamOutput(output, platform::StreamOutputType::screen, queue)) return error;
    if (capturesSystemAudio) {
        if (auto error = stream->addStreamOutput(output, platform::StreamOutputType::audio, queue)) return error;
    }
    if (capturesMicrophone) {
        if (auto error = stream->addStreamOutput(output, platform::StreamOutputType::microphone, queue)) return error;
    }

    if (auto error = stream->startCapture()) return error;

    if (!assetWriter->startWriting()) {
        const auto error = assetWriter->error();
        return captureError(CaptureErrorKind::videoWritingNotStarted, error ? error->description() : "");
    }
    assetWriter->startSessionAtSourceTime(common::MediaTime::zero());

    // Samples are already arriving on the sample queue: the switch to recording happens there, so
    // that the sample path sees it whole and never a half-made change.
    queue.sync([this] {
        sessionStarted = true;
        isRecording = true;
        isPaused = false;
        pauseStartedHostTime.reset();
        pendingResumeAdjustment = false;
        resumedHostTime.reset();
        stopHostTime.reset();
        accumulatedPausedDuration = common::MediaTime::zero();
        frameCount = 0;
        firstSampleTime = common::MediaTime::zero();
        lastVideoPresentationTime = common::MediaTime::zero();
        lastVideoDuration = common::MediaTime::zero();
    });

    startWindowValidationIfNeeded();
    return std::nullopt;
}

}  // namespace recorder
