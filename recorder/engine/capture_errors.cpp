#include "recorder/engine/capture_errors.hpp"

namespace recorder {
namespace {

struct ErrorEntry {
    int64_t code;
    const char* message;
};

ErrorEntry entryFor(CaptureErrorKind kind) {
    switch (kind) {
        case CaptureErrorKind::recordingAlreadyInProgress: return {1, "Recording is already in progress"};
        case CaptureErrorKind::invalidJSONInput: return {2, "Invalid JSON input"};
        case CaptureErrorKind::windowNotFound: return {3, "Window not found"};
        case CaptureErrorKind::windowDisplayNotFound: return {4, "Window display not found"};
        case CaptureErrorKind::displayNotFound: return {4, "Display not found"};
        case CaptureErrorKind::outputSettingsAssistantUnavailable:
            return {5, "Unable to create output settings assistant"};
        case CaptureErrorKind::outputSettingsUnavailable: return {6, "Output settings unavailable"};
        case CaptureErrorKind::cannotAddVideoInput: return {7, "Unable to add video writer input"};
        case CaptureErrorKind::videoWritingNotStarted: return {8, "Unable to start video writing"};
        case CaptureErrorKind::noRecordingInProgress: return {9, "No recording in progress"};
        case CaptureErrorKind::writerNotCompleted: return {10, "Recording could not be finalized"};
        case CaptureErrorKind::missingSystemAudioOutputPath:
            return {11, "Missing system audio output path for audio capture"};
        case CaptureErrorKind::cannotAddSystemAudioInput: return {12, "Unable to add system audio writer input"};
        case CaptureErrorKind::systemAudioWritingNotStarted: return {13, "Unable to start system audio writing"};
        case CaptureErrorKind::missingMicrophoneOutputPath:
            return {14, "Missing microphone output path for microphone capture"};
        case CaptureErrorKind::cannotAddMicrophoneInput: return {15, "Unable to add microphone writer input"};
        case CaptureErrorKind::microphoneWritingNotStarted:
            return {16, "Unable to start microphone audio writing"};
    }
    return {0, "Unknown capture error"};
}

}  // namespace

common::Error captureError(CaptureErrorKind kind) {
    const ErrorEntry entry = entryFor(kind);
    return common::Error{kCaptureErrorDomain, entry.code, entry.message};
}

common::Error captureError(CaptureErrorKind kind, const std::string& writerDescription) {
    common::Error error = captureError(kind);
    if (!writerDescription.empty()) error.message = writerDescription;
    return error;
}

common::Error writerNotCompletedError(int writerStatus) {
    return common::Error{kCaptureErrorDomain, 10,
                         "Recording could not be finalized (writer status " + std::to_string(writerStatus) + ")"};
}

}  // namespace recorder
