#pragma once

#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "common/output_lines.hpp"
#include "recorder/platform/platform.hpp"

// A scripted platform for the recorder's logic: the test sets displays and windows, delivers
// samples one at a time with chosen times and statuses, and controls every writer's readiness,
// append results, status and errors. Used for what a real desktop cannot make happen on demand.
namespace fakeplatform {

using common::MediaTime;
using recorder::platform::SampleBuffer;

// ---- Samples ----
MediaTime seconds(double value);  // on the host timescale (nanoseconds)
std::shared_ptr<SampleBuffer> videoSample(double presentationSeconds,
                                          recorder::platform::FrameStatus status = recorder::platform::FrameStatus::complete,
                                          MediaTime duration = MediaTime::make(1, 60), int width = 64, int height = 36);
std::shared_ptr<SampleBuffer> videoSampleWithAttachments(double presentationSeconds,
                                                         std::optional<recorder::platform::SampleAttachments> attachments);
std::shared_ptr<SampleBuffer> audioSample(double presentationSeconds, MediaTime duration = MediaTime::make(1024, 48000));

// ---- Capture ----
class FakeCaptureStream final : public recorder::platform::CaptureStream {
public:
    struct Registration {
        recorder::platform::StreamOutputType type;
        std::weak_ptr<recorder::platform::StreamOutput> output;
        common::SerialQueue* queue;
    };

    common::Status addStreamOutput(std::weak_ptr<recorder::platform::StreamOutput> output,
                                   recorder::platform::StreamOutputType type, common::SerialQueue& queue) override;
    common::Status startCapture() override;
    common::Status updateContentFilter(const recorder::platform::ContentFilter& filter) override;
    common::Status stopCapture() override;

    // Delivers one sample on the registered queue and waits until the recorder has handled it.
    void deliver(const std::shared_ptr<SampleBuffer>& sample, recorder::platform::StreamOutputType type);
    // Reports that the stream stopped by itself.
    void failWith(const common::Error& error);

    recorder::platform::ContentFilter filter;
    recorder::platform::StreamConfiguration configuration;
    std::weak_ptr<recorder::platform::StreamDelegate> delegate;
    std::vector<Registration> registrations;
    std::optional<common::Error> addOutputError;  // returned by the first registration (and later ones)
    std::optional<common::Error> startError;
    void setUpdateError(std::optional<common::Error> error);
    std::vector<recorder::platform::ContentFilter> filterUpdates;
    std::atomic<bool> started{false};
    std::atomic<int> stopCount{0};
    // While set, stopCapture blocks until releaseStop() (to hold a finalisation in progress).
    void holdStop();
    void releaseStop();
    bool waitUntilStopRequested(std::chrono::milliseconds timeout);

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool holdStop_ = false;
    bool stopRequested_ = false;
    std::optional<common::Error> updateError_;
};

class FakeCaptureService final : public recorder::platform::CaptureService {
public:
    uint32_t mainDisplayID() override { return mainDisplay; }
    common::Rect displayBounds(uint32_t displayID) override;
    std::optional<recorder::platform::DisplayMode> displayMode(uint32_t displayID) override;
    common::Result<recorder::platform::ShareableContent> shareableContent(bool excludingDesktopWindows,
                                                                          bool onScreenWindowsOnly) override;
    bool canCaptureMicrophone() override { return microphoneCapturable; }
    bool canCaptureSystemAudio() override { return systemAudioCapturable; }
    recorder::platform::SourceSelection sourceSelection() override { return selection; }
    common::Result<std::shared_ptr<recorder::platform::CaptureStream>> makeStream(
        const recorder::platform::ContentFilter& filter, const recorder::platform::StreamConfiguration& configuration,
        std::weak_ptr<recorder::platform::StreamDelegate> delegate) override;

    // Thread-safe changes of what is on screen while a recording runs.
    void setContent(recorder::platform::ShareableContent content);
    void setContentError(std::optional<common::Error> error);
    std::shared_ptr<FakeCaptureStream> lastStream();
    int contentQueries() const { return contentQueries_.load(); }

    uint32_t mainDisplay = 1;
    std::map<uint32_t, recorder::platform::DisplayMode> modes;  // absent: no mode
    bool microphoneCapturable = true;
    bool systemAudioCapturable = true;
    recorder::platform::SourceSelection selection = recorder::platform::SourceSelection::list;

private:
    mutable std::mutex mutex_;
    recorder::platform::ShareableContent content_;
    std::optional<common::Error> contentError_;
    std::shared_ptr<FakeCaptureStream> lastStream_;
    std::atomic<int> contentQueries_{0};
};

// ---- Writers ----
class FakeWriterInput final : public recorder::platform::WriterInput {
public:
    explicit FakeWriterInput(recorder::platform::MediaType type) : type_(type) {}
    recorder::platform::MediaType mediaType() const override { return type_; }
    void setExpectsMediaDataInRealTime(bool realTime) override { expectsRealTime = realTime; }
    bool isReadyForMoreMediaData() override { return ready.load(); }
    bool appendSampleBuffer(const std::shared_ptr<SampleBuffer>& sample) override;
    void markAsFinished() override { finished = true; }

    std::vector<MediaTime> appendedTimes() const;
    std::vector<std::shared_ptr<SampleBuffer>> appendedSamples() const;

    std::atomic<bool> ready{true};
    std::atomic<bool> appendResult{true};
    std::atomic<bool> finished{false};
    bool expectsRealTime = false;
    std::optional<recorder::platform::VideoSettings> videoSettings;
    std::optional<recorder::platform::AudioSettings> audioSettings;

private:
    recorder::platform::MediaType type_;
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<SampleBuffer>> appended_;
};

class FakeAssetWriter;

class FakePixelBufferAdaptor final : public recorder::platform::PixelBufferAdaptor {
public:
    FakePixelBufferAdaptor(std::shared_ptr<FakeWriterInput> input, recorder::platform::PixelBufferAttributes attributes);
    std::shared_ptr<recorder::platform::PixelBufferPool> pixelBufferPool() override;
    bool appendPixelBuffer(const std::shared_ptr<recorder::platform::PixelBuffer>& buffer,
                           const MediaTime& presentationTime) override;

    std::vector<std::pair<std::shared_ptr<recorder::platform::PixelBuffer>, MediaTime>> appended() const;

    FakeAssetWriter* writer = nullptr;  // set when the input is added to a writer
    std::shared_ptr<FakeWriterInput> input;
    recorder::platform::PixelBufferAttributes attributes;
    std::atomic<bool> appendResult{true};

private:
    mutable std::mutex mutex_;
    std::shared_ptr<recorder::platform::PixelBufferPool> pool_;
    std::vector<std::pair<std::shared_ptr<recorder::platform::PixelBuffer>, MediaTime>> appended_;
};

class FakeAssetWriter final : public recorder::platform::AssetWriter {
public:
    FakeAssetWriter(std::string path, recorder::platform::FileType type) : path(std::move(path)), fileType(type) {}
    bool canAddInput(const recorder::platform::WriterInput& input) override;
    void addInput(std::shared_ptr<recorder::platform::WriterInput> input) override;
    bool startWriting() override;
    void startSessionAtSourceTime(const MediaTime& time) override { sessionStart = time; }
    void endSessionAtSourceTime(const MediaTime& time) override { sessionEnd = time; }
    void finishWriting() override;
    recorder::platform::WriterStatus status() override { return status_.load(); }
    std::optional<common::Error> error() override;

    void setStatus(recorder::platform::WriterStatus status) { status_ = status; }
    void setError(std::optional<common::Error> error);

    const std::string path;
    const recorder::platform::FileType fileType;
    std::vector<std::shared_ptr<recorder::platform::WriterInput>> inputs;
    bool acceptVideoInputs = true;
    bool acceptAudioInputs = true;
    bool startSucceeds = true;
    // Status reached by finishWriting: completed unless a test wants a failure.
    recorder::platform::WriterStatus statusAfterFinish = recorder::platform::WriterStatus::completed;
    std::optional<MediaTime> sessionStart;
    std::optional<MediaTime> sessionEnd;
    int finishCount = 0;
    int finishOrder = -1;  // position among all writers' finishes (0 first)
    std::atomic<int>* finishSequence = nullptr;

private:
    std::atomic<recorder::platform::WriterStatus> status_{recorder::platform::WriterStatus::unknown};
    mutable std::mutex mutex_;
    std::optional<common::Error> error_;
};

class FakeOutputSettingsAssistant final : public recorder::platform::OutputSettingsAssistant {
public:
    void setSourceVideoFormat(const recorder::platform::VideoFormatDescription& format) override { source = format; }
    std::optional<recorder::platform::VideoSettings> videoSettings() override { return settings; }
    std::optional<recorder::platform::VideoFormatDescription> source;
    std::optional<recorder::platform::VideoSettings> settings =
        recorder::platform::VideoSettings{"h264", 3840, 2160, std::nullopt, {{"preset", "veryfast"}}};
};

class FakeMediaWriterService final : public recorder::platform::MediaWriterService {
public:
    common::Result<std::shared_ptr<recorder::platform::AssetWriter>> makeAssetWriter(
        const std::string& path, recorder::platform::FileType type) override;
    std::shared_ptr<recorder::platform::OutputSettingsAssistant> makeOutputSettingsAssistant(
        const std::string& preset) override;
    common::Result<recorder::platform::VideoFormatDescription> makeVideoFormatDescription(uint32_t mediaSubtype,
                                                                                          int width, int height) override;
    std::shared_ptr<recorder::platform::WriterInput> makeVideoInput(
        const recorder::platform::VideoSettings& settings,
        const std::optional<recorder::platform::VideoFormatDescription>& formatHint) override;
    std::shared_ptr<recorder::platform::WriterInput> makeAudioInput(const recorder::platform::AudioSettings& settings) override;
    std::shared_ptr<recorder::platform::PixelBufferAdaptor> makePixelBufferAdaptor(
        std::shared_ptr<recorder::platform::WriterInput> videoInput,
        const recorder::platform::PixelBufferAttributes& attributes) override;

    std::shared_ptr<FakeAssetWriter> writerFor(const std::string& path) const;
    std::vector<std::shared_ptr<FakeAssetWriter>> writers() const;

    std::map<std::string, common::Error> creationErrors;  // by path
    bool assistantAvailable = true;
    std::shared_ptr<FakeOutputSettingsAssistant> assistant = std::make_shared<FakeOutputSettingsAssistant>();
    // Hooks to adjust each writer right after it is made (e.g. refuse inputs).
    std::function<void(FakeAssetWriter&)> configureWriter;
    std::shared_ptr<FakePixelBufferAdaptor> lastAdaptor;
    std::atomic<int> finishSequence{0};

private:
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<FakeAssetWriter>> writers_;
};

// ---- Image, permissions, devices ----
class FakeImageContext final : public recorder::platform::ImageContext {
public:
    struct Render {
        recorder::platform::ImageRect crop;
        int sourceWidth, sourceHeight, destinationWidth, destinationHeight;
    };
    void renderCrop(const recorder::platform::PixelBuffer& source, const recorder::platform::ImageRect& crop,
                    recorder::platform::PixelBuffer& destination) override;
    std::vector<Render> renders() const;

private:
    mutable std::mutex mutex_;
    std::vector<Render> renders_;
};

class FakePermissionService final : public recorder::platform::PermissionService {
public:
    void touchMainDisplay() override { ++mainDisplayTouches; }
    bool preflightScreenCaptureAccess() override { ++preflights; return screenPreflight; }
    bool requestScreenCaptureAccess() override { ++screenRequests; return screenRequest; }
    int microphoneAuthorizationStatus() override;
    void requestMicrophoneAccess(std::function<void(bool)> completion) override;

    bool screenPreflight = true;
    bool screenRequest = false;
    int microphoneStatus = recorder::platform::kAuthorizationAuthorized;
    int statusAfterRequest = recorder::platform::kAuthorizationAuthorized;
    std::atomic<int> mainDisplayTouches{0}, preflights{0}, screenRequests{0}, microphoneReads{0}, microphoneRequests{0};
};

class FakeCaptureDeviceService final : public recorder::platform::CaptureDeviceService {
public:
    std::vector<recorder::platform::AudioCaptureDevice> audioCaptureDevices() override { return devices; }
    std::vector<recorder::platform::AudioCaptureDevice> devices;
};

// All of it, wired into one Platform, with a host clock the test sets.
struct FakePlatform {
    FakePlatform();
    recorder::platform::Platform platform() const;
    void setHostTime(double secondsValue);

    std::shared_ptr<FakeCaptureService> capture = std::make_shared<FakeCaptureService>();
    std::shared_ptr<FakeMediaWriterService> writer = std::make_shared<FakeMediaWriterService>();
    std::shared_ptr<FakeImageContext> image = std::make_shared<FakeImageContext>();
    std::shared_ptr<FakePermissionService> permissions = std::make_shared<FakePermissionService>();
    std::shared_ptr<FakeCaptureDeviceService> devices = std::make_shared<FakeCaptureDeviceService>();
    std::shared_ptr<std::atomic<int64_t>> hostNanoseconds = std::make_shared<std::atomic<int64_t>>(0);
};

// Collects the lines a program writes, for assertions.
class RecordingLineSink final : public common::LineSink {
public:
    void out(const std::string& line) override;
    void err(const std::string& line) override;
    std::vector<std::string> outLines() const;
    std::vector<std::string> errLines() const;
    bool waitForOutLine(const std::string& line, std::chrono::milliseconds timeout);

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> out_;
    std::vector<std::string> err_;
};

}  // namespace fakeplatform
