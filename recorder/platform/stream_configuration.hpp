#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "common/media_time.hpp"
#include "recorder/platform/pixel_buffer.hpp"

namespace recorder::platform {

inline constexpr const char* kColorSpaceSRGB = "sRGB";
inline constexpr const char* kYCbCrMatrixITU_R_709_2 = "ITU_R_709_2";

// How a capture stream delivers frames and audio.
struct StreamConfiguration {
    common::MediaTime minimumFrameInterval = common::MediaTime::invalid();
    int queueDepth = 3;
    uint32_t pixelFormat = kPixelFormatBGRA;
    std::string colorSpaceName;
    std::string colorMatrix;
    bool showsCursor = true;
    bool capturesAudio = false;
    int sampleRate = 48000;
    int channelCount = 2;
    bool excludesCurrentProcessAudio = false;
    // Set only when the microphone is captured ("captureMicrophone").
    bool captureMicrophone = false;
    // The microphone device to capture ("microphoneCaptureDeviceID"); none means the default one.
    std::optional<std::string> microphoneCaptureDeviceID;
    int width = 0;
    int height = 0;
};

}  // namespace recorder::platform
