#pragma once

#include <cstdint>
#include <string>

#include "common/error.hpp"

namespace recorder {

inline constexpr const char* kCaptureErrorDomain = "ZentrovaCapture";

// Failures the recorder detects itself, with their fixed codes and messages.
enum class CaptureErrorKind {
    recordingAlreadyInProgress,       // 1
    invalidJSONInput,                 // 2
    windowNotFound,                   // 3
    windowDisplayNotFound,            // 4
    displayNotFound,                  // 4
    outputSettingsAssistantUnavailable,  // 5
    outputSettingsUnavailable,        // 6
    cannotAddVideoInput,              // 7
    videoWritingNotStarted,           // 8
    noRecordingInProgress,            // 9
    writerNotCompleted,               // 10
    missingSystemAudioOutputPath,     // 11
    cannotAddSystemAudioInput,        // 12
    systemAudioWritingNotStarted,     // 13
    missingMicrophoneOutputPath,      // 14
    cannotAddMicrophoneInput,         // 15
    microphoneWritingNotStarted,      // 16
};

// The capture error of `kind` with its fixed message.
common::Error captureError(CaptureErrorKind kind);
// Codes 8, 13 and 16 carry the writer's own description when it has one.
common::Error captureError(CaptureErrorKind kind, const std::string& writerDescription);
// Code 10 names the writer status that was reached.
common::Error writerNotCompletedError(int writerStatus);

}  // namespace recorder
