#include <ctime>
#include <filesystem>

#include "recorder/engine/capture_errors.hpp"
#include "recorder/engine/screen_capture_recorder.hpp"

namespace recorder {
namespace {

// A relative path is taken relative to the current directory, as the file location it names.
std::string fileLocation(const std::string& path) {
    std::error_code ignored;
    const std::filesystem::path location(path);
    if (location.is_absolute()) return location.lexically_normal().string();
    return (std::filesystem::current_path(ignored) / location).lexically_normal().string();
}

std::string defaultOutputLocation() {
    std::error_code ignored;
    const std::string name = "output_" + std::to_string(static_cast<long long>(std::time(nullptr))) + ".mp4";
    return (std::filesystem::current_path(ignored) / name).string();
}

platform::FileType containerFor(const std::string& location) {
    const std::string name = std::filesystem::path(location).filename().string();
    const size_t dot = name.rfind('.');
    std::string extension = dot == std::string::npos ? std::string() : name.substr(dot + 1);
    for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return extension == "mp4" ? platform::FileType::mpeg4 : platform::FileType::quickTimeMovie;
}

}  // namespace

platform::AudioSettings ScreenCaptureRecorder::audioOutputSettings(int bitRate) {
    platform::AudioSettings settings;
    settings.formatID = platform::kAudioFormatMPEG4AAC;
    settings.sampleRate = 48000;
    settings.numberOfChannels = 2;
    settings.encoderBitRate = bitRate;
    return settings;
}

common::Status ScreenCaptureRecorder::setUpWriters(const CaptureConfig& config, int outputWidth, int outputHeight,
                                                   uint32_t streamPixelFormat) {
    platform::MediaWriterService& writers = *platform_.writer;

    const std::string location = config.outputPath && !config.outputPath->empty() ? fileLocation(*config.outputPath)
                                                                                  : defaultOutputLocation();
    outputURL = location;
    auto videoWriter = writers.makeAssetWriter(location, containerFor(location));
    if (!videoWriter) return videoWriter.error();
    assetWriter = videoWriter.value();

    microphoneOutputURL.reset();
    firstSystemAudioSampleTime.reset();
    firstMicrophoneSampleTime.reset();
    lastSystemAudioPresentationTime = common::MediaTime::invalid();
    lastMicrophonePresentationTime = common::MediaTime::invalid();

    const auto assistant = writers.makeOutputSettingsAssistant(platform::kVideoPreset3840x2160);
    if (!assistant) return captureError(CaptureErrorKind::outputSettingsAssistantUnavailable);
    const auto sourceFormat = writers.makeVideoFormatDescription(streamPixelFormat, outputWidth, outputHeight);
    if (!sourceFormat) return sourceFormat.error();
    assistant->setSourceVideoFormat(sourceFormat.value());
    auto videoSettings = assistant->videoSettings();
    if (!videoSettings) return captureError(CaptureErrorKind::outputSettingsUnavailable);
    videoSettings->width = outputWidth;
    videoSettings->height = outputHeight;
    videoSettings->colorProperties = platform::ColorProperties{
        platform::kColorPrimariesITU_R_709_2, platform::kTransferFunctionITU_R_709_2, platform::kYCbCrMatrixITU_R_709_2};

    auto video = writers.makeVideoInput(*videoSettings, sourceFormat.value());
    video->setExpectsMediaDataInRealTime(true);
    if (!assetWriter->canAddInput(*video)) return captureError(CaptureErrorKind::cannotAddVideoInput);
    assetWriter->addInput(video);
    videoInput = video;

    if (windowCropRect) {
        videoPixelBufferAdaptor = writers.makePixelBufferAdaptor(
            videoInput, platform::PixelBufferAttributes{platform::kPixelFormatBGRA, outputWidth, outputHeight});
    } else {
        videoPixelBufferAdaptor.reset();
    }

    if (capturesSystemAudio || capturesMicrophone) {
        auto inlineAudio = writers.makeAudioInput(audioOutputSettings(192000));
        inlineAudio->setExpectsMediaDataInRealTime(true);
        if (assetWriter->canAddInput(*inlineAudio)) {
            assetWriter->addInput(inlineAudio);
            inlineAudioInput = inlineAudio;
        }
    }

    if (writesSystemAudioToSeparateTrack) {
        if (!config.systemAudioOutputPath || config.systemAudioOutputPath->empty())
            return captureError(CaptureErrorKind::missingSystemAudioOutputPath);
        auto writer = writers.makeAssetWriter(fileLocation(*config.systemAudioOutputPath), platform::FileType::appleM4A);
        if (!writer) return writer.error();
        auto input = writers.makeAudioInput(audioOutputSettings(160000));
        input->setExpectsMediaDataInRealTime(true);
        if (!writer.value()->canAddInput(*input)) return captureError(CaptureErrorKind::cannotAddSystemAudioInput);
        writer.value()->addInput(input);
        systemAudioWriter = writer.value();
        systemAudioInput = input;
        if (!systemAudioWriter->startWriting()) {
            const auto error = systemAudioWriter->error();
            return captureError(CaptureErrorKind::systemAudioWritingNotStarted, error ? error->description() : "");
        }
        systemAudioWriter->startSessionAtSourceTime(common::MediaTime::zero());
    }

    if (writesMicrophoneToSeparateTrack) {
        if (!config.microphoneOutputPath || config.microphoneOutputPath->empty())
            return captureError(CaptureErrorKind::missingMicrophoneOutputPath);
        microphoneOutputURL = fileLocation(*config.microphoneOutputPath);
        auto writer = writers.makeAssetWriter(*microphoneOutputURL, platform::FileType::appleM4A);
        if (!writer) return writer.error();
        auto input = writers.makeAudioInput(audioOutputSettings(128000));
        input->setExpectsMediaDataInRealTime(true);
        if (!writer.value()->canAddInput(*input)) return captureError(CaptureErrorKind::cannotAddMicrophoneInput);
        writer.value()->addInput(input);
        microphoneOnlyWriter = writer.value();
        microphoneOnlyInput = input;
        if (!microphoneOnlyWriter->startWriting()) {
            const auto error = microphoneOnlyWriter->error();
            return captureError(CaptureErrorKind::microphoneWritingNotStarted, error ? error->description() : "");
        }
        microphoneOnlyWriter->startSessionAtSourceTime(common::MediaTime::zero());
    }
    return std::nullopt;
}

}  // namespace recorder
