#include <algorithm>

#include "recorder/control/tuning.hpp"
#include "recorder/engine/screen_capture_recorder.hpp"

namespace recorder {
namespace {

// White space and line breaks at both ends, as Unicode defines them for the usual characters.
std::string trimmed(const std::string& text) {
    static const std::string kWhiteSpace[] = {" ", "\t", "\n", "\r", "\v", "\f", "\xC2\x85", "\xC2\xA0",
                                              "\xE2\x80\xA8", "\xE2\x80\xA9", "\xE3\x80\x80", "\xE2\x80\x80",
                                              "\xE2\x80\x81", "\xE2\x80\x82", "\xE2\x80\x83", "\xE2\x80\x84",
                                              "\xE2\x80\x85", "\xE2\x80\x86", "\xE2\x80\x87", "\xE2\x80\x88",
                                              "\xE2\x80\x89", "\xE2\x80\x8A", "\xE2\x80\xAF", "\xE2\x81\x9F",
                                              "\xE1\x9A\x80"};
    size_t begin = 0;
    size_t end = text.size();
    for (bool again = true; again;) {
        again = false;
        for (const auto& space : kWhiteSpace) {
            if (end - begin >= space.size() && text.compare(begin, space.size(), space) == 0) {
                begin += space.size();
                again = true;
            }
            if (end - begin >= space.size() && text.compare(end - space.size(), space.size(), space) == 0) {
                end -= space.size();
                again = true;
            }
        }
    }
    return text.substr(begin, end - begin);
}

}  // namespace

platform::StreamConfiguration ScreenCaptureRecorder::configureStream(const CaptureConfig& config) {
    platform::StreamConfiguration configuration;
    capturesSystemAudio = config.capturesSystemAudio.value_or(false);
    capturesMicrophone = config.capturesMicrophone.value_or(false);

    if (capturesMicrophone && !platform_.capture->canCaptureMicrophone()) {
        lines_.err("MICROPHONE_CAPTURE_UNAVAILABLE");
        capturesMicrophone = false;
    }
    writesSystemAudioToSeparateTrack = capturesSystemAudio;
    writesMicrophoneToSeparateTrack = capturesSystemAudio && capturesMicrophone;

    // A request may raise the rate above the floor but never lower it. The decoder has already
    // refused rates that do not fit a 32-bit timescale.
    const int64_t frameRate = std::max<int64_t>(config.fps.value_or(targetCaptureFPS), targetCaptureFPS);

    configuration.minimumFrameInterval = common::MediaTime::make(1, static_cast<int32_t>(frameRate));
    configuration.queueDepth = 6;
    configuration.pixelFormat = platform::kPixelFormat420v;
    configuration.colorSpaceName = platform::kColorSpaceSRGB;
    configuration.colorMatrix = platform::kYCbCrMatrixITU_R_709_2;
    configuration.showsCursor = false;
    configuration.capturesAudio = capturesSystemAudio || capturesMicrophone;
    configuration.sampleRate = 48000;
    configuration.channelCount = 2;
    configuration.excludesCurrentProcessAudio = true;

    if (capturesMicrophone) {
        configuration.captureMicrophone = true;
        if (auto device = resolveMicrophoneCaptureDeviceID(config, *platform_.devices))
            configuration.microphoneCaptureDeviceID = std::move(device);
    }
    return configuration;
}

std::optional<std::string> ScreenCaptureRecorder::resolveMicrophoneCaptureDeviceID(
    const CaptureConfig& config, platform::CaptureDeviceService& devices) {
    const std::vector<platform::AudioCaptureDevice> available = devices.audioCaptureDevices();
    if (config.microphoneLabel) {
        const std::string label = trimmed(*config.microphoneLabel);
        if (!label.empty()) {
            for (const auto& device : available) {
                if (device.localizedName == label) return device.uniqueID;
            }
        }
    }
    if (config.microphoneDeviceId) {
        const std::string identifier = trimmed(*config.microphoneDeviceId);
        if (!identifier.empty()) {
            for (const auto& device : available) {
                if (device.uniqueID == identifier) return identifier;
            }
        }
    }
    return std::nullopt;
}

}  // namespace recorder
