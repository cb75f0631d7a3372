#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/error.hpp"

namespace recorder {

// The recording request: every field optional; absent is a state of its own, not a default.
struct CaptureConfig {
    std::optional<int64_t> fps;
    std::optional<uint32_t> displayId;
    std::optional<uint32_t> windowId;
    std::optional<double> windowX;
    std::optional<double> windowY;
    std::optional<double> windowWidth;
    std::optional<double> windowHeight;
    std::optional<std::string> outputPath;
    std::optional<bool> capturesSystemAudio;
    std::optional<bool> capturesMicrophone;
    std::optional<std::string> systemAudioOutputPath;
    std::optional<std::string> microphoneDeviceId;
    std::optional<std::string> microphoneLabel;
    std::optional<std::string> microphoneOutputPath;
    std::optional<std::vector<int32_t>> excludedProcessIds;
    // A file holding the desktop portal's restore token: read before the session starts, rewritten
    // with the token the portal returns, so later recordings skip the desktop's dialog.
    std::optional<std::string> restoreTokenPath;

    bool operator==(const CaptureConfig&) const = default;
};

inline constexpr const char* kRequestDecodingDomain = "CaptureConfigDecoding";

// Requests are a few hundred bytes; anything far larger is refused before parsing so that a
// hostile argument cannot exhaust memory or the stack.
inline constexpr size_t kMaxRequestBytes = 1024 * 1024;
inline constexpr int kMaxRequestNestingDepth = 64;

// Decodes the UTF-8 request text: typed and strict, null as absent, unknown keys ignored, no
// partial record on failure. The error says what is wrong and where.
common::Result<CaptureConfig> decodeCaptureConfig(const std::string& utf8Json);

}  // namespace recorder
