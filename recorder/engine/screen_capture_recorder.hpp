#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "common/background_task.hpp"
#include "common/error.hpp"
#include "common/media_time.hpp"
#include "common/output_lines.hpp"
#include "common/rect.hpp"
#include "common/serial_queue.hpp"
#include "recorder/control/capture_config.hpp"
#include "recorder/control/recorder_operations.hpp"
#include "recorder/platform/platform.hpp"

namespace recorder {

// The capture engine: one recording at a time, from start through sample routing to finishing.
//
// Its operations live with the subsystem they belong to: engine/ (state, start, source, writers,
// window tracking), pipeline/ (sample routing, crop, audio, pause) and finalize/ (finalisation and
// writer finishing). The sample queue is the only guard of the state: every change while a
// recording runs is a block on it.
class ScreenCaptureRecorder final : public RecorderOperations,
                                    public platform::StreamOutput,
                                    public platform::StreamDelegate,
                                    public std::enable_shared_from_this<ScreenCaptureRecorder> {
public:
    using CaptureFinalizationResult = recorder::CaptureFinalizationResult;
    // How the window tracker ends the process when it finalised alone.
    using ProcessExit = std::function<void(int status)>;

    static constexpr const char* kSampleQueueLabel = "zentrova.screencapturekit.video";

    static std::shared_ptr<ScreenCaptureRecorder> make(platform::Platform platform, common::LineSink& lines,
                                                       ProcessExit processExit = {});
    ~ScreenCaptureRecorder() override;

    // Operations driven by the command service.
    common::Status startCapture(const std::string& configJSON) override;
    bool pauseCapture() override;
    bool resumeCapture() override;
    CaptureFinalizationResult finalizeCapture(bool interactive) override;
    common::Result<std::string> stopCapture();

    // Capture stream callbacks.
    void streamDidOutputSampleBuffer(platform::CaptureStream& stream, std::shared_ptr<platform::SampleBuffer> sample,
                                     int outputType) override;
    void streamDidStopWithError(platform::CaptureStream& stream, const common::Error& error) override;

    // Functions that use no recorder state.
    static std::optional<std::string> resolveMicrophoneCaptureDeviceID(const CaptureConfig& config,
                                                                       platform::CaptureDeviceService& devices);
    static std::optional<platform::Display> captureDisplay(const common::Rect& rect,
                                                           const std::vector<platform::Display>& displays);
    static platform::AudioSettings audioOutputSettings(int bitRate);
    // Pixels per point of a display (1 when its mode is unknown).
    static int64_t pixelScale(platform::CaptureService& capture, uint32_t displayID);

    // Runs `inspect` on the sample queue with the recorder's state; for tests and diagnostics.
    template <class F>
    auto withStateOnQueue(F&& inspect) {
        return queue.sync([&] { return inspect(*this); });
    }

    // ---- State (every field as the recorder defines it; see the .cpp files for who writes what) ----
    common::SerialQueue queue{kSampleQueueLabel};
    std::shared_ptr<platform::AssetWriter> assetWriter;
    std::shared_ptr<platform::WriterInput> videoInput;
    std::shared_ptr<platform::PixelBufferAdaptor> videoPixelBufferAdaptor;
    std::optional<common::Rect> windowCropRect;
    std::optional<uint32_t> windowCropDisplayId;
    std::set<int32_t> excludedProcessIds;
    std::shared_ptr<platform::PixelBuffer> lastCroppedPixelBuffer;
    const std::shared_ptr<platform::ImageContext> imageContext;
    std::shared_ptr<platform::AssetWriter> systemAudioWriter;
    std::shared_ptr<platform::WriterInput> systemAudioInput;
    std::shared_ptr<platform::AssetWriter> microphoneOnlyWriter;
    std::shared_ptr<platform::WriterInput> microphoneOnlyInput;
    std::shared_ptr<platform::CaptureStream> stream;
    common::MediaTime firstSampleTime = common::MediaTime::zero();
    // Sound that reached the queue before the first screen sample: captured at the same moment, it
    // may belong to the recording once that frame has set the timeline.
    std::deque<std::pair<std::shared_ptr<platform::SampleBuffer>, int>> audioBeforeFirstFrame;
    std::optional<common::MediaTime> firstSystemAudioSampleTime;
    std::optional<common::MediaTime> firstMicrophoneSampleTime;
    common::MediaTime lastSystemAudioPresentationTime = common::MediaTime::invalid();
    common::MediaTime lastMicrophonePresentationTime = common::MediaTime::invalid();
    std::shared_ptr<platform::SampleBuffer> lastSampleBuffer;
    common::MediaTime lastVideoPresentationTime = common::MediaTime::zero();
    common::MediaTime lastVideoDuration = common::MediaTime::zero();
    common::MediaTime lastInlineAudioPresentationTime = common::MediaTime::invalid();
    common::MediaTime lastInlineAudioDuration = common::MediaTime::zero();
    // Read outside the sample queue (start, window tracker), hence atomic.
    std::atomic<bool> isRecording{false};
    bool isPaused = false;
    std::optional<common::MediaTime> pauseStartedHostTime;
    bool pendingResumeAdjustment = false;
    // When the last resume took effect. A sample captured before it was captured while paused (or
    // so late that the cut has already closed its stretch), even if it reaches the queue afterwards.
    std::optional<common::MediaTime> resumedHostTime;
    // When a finalisation took effect, until the stream has stopped: what was captured before it
    // (the last sound still in the sound server, a frame on its way) belongs to the recording.
    std::optional<common::MediaTime> stopHostTime;
    common::MediaTime accumulatedPausedDuration = common::MediaTime::zero();
    std::atomic<bool> sessionStarted{false};
    int64_t frameCount = 0;
    std::optional<std::string> outputURL;
    std::optional<std::string> microphoneOutputURL;
    std::optional<uint32_t> trackedWindowId;
    std::optional<common::BackgroundTask> windowValidationTask;
    bool isFinalizing = false;
    bool interactiveStopParticipated = false;
    std::vector<std::shared_ptr<std::promise<CaptureFinalizationResult>>> finalizationWaiters;
    std::shared_ptr<platform::WriterInput> inlineAudioInput;
    std::optional<common::MediaTime> firstInlineAudioSampleTime;
    bool capturesSystemAudio = false;
    bool capturesMicrophone = false;
    bool writesSystemAudioToSeparateTrack = false;
    bool writesMicrophoneToSeparateTrack = false;
    const int microphoneOutputTypeRawValue = 2;

    // Used by writer finishing, in the finishing task.
    common::MediaTime frameDuration(const std::shared_ptr<platform::SampleBuffer>& sample) const;
    bool waitUntilReady(platform::WriterInput& input, platform::AssetWriter* writer,
                        const common::TaskContext* waitingTask = nullptr) const;

private:
    ScreenCaptureRecorder(platform::Platform platform, common::LineSink& lines, ProcessExit processExit);

    // Start sequence stretches (engine/).
    platform::StreamConfiguration configureStream(const CaptureConfig& config);
    struct ResolvedSource {
        platform::ContentFilter filter;
        int outputWidth = 0;
        int outputHeight = 0;
    };
    common::Result<ResolvedSource> resolveCaptureSource(const CaptureConfig& config,
                                                        const platform::ShareableContent& content,
                                                        platform::StreamConfiguration& configuration);
    platform::ContentFilter contentFilter(const platform::Display& display,
                                          const std::vector<platform::Application>& applications) const;
    common::Status setUpWriters(const CaptureConfig& config, int outputWidth, int outputHeight,
                                uint32_t streamPixelFormat);
    void startWindowValidationIfNeeded();
    void runWindowTracker(uint32_t windowId, const common::TaskContext& task);
    void windowGone();

    // Sample path (pipeline/).
    void routeVideoSample(const std::shared_ptr<platform::SampleBuffer>& sample, const common::MediaTime& outputTime);
    bool appendCroppedVideoFrame(const std::shared_ptr<platform::SampleBuffer>& sample, const common::MediaTime& time);
    void holdAudioBeforeFirstFrame(const std::shared_ptr<platform::SampleBuffer>& sample, int outputType);
    void routeAudioBeforeFirstFrame();
    void routeSystemAudioSample(const std::shared_ptr<platform::SampleBuffer>& sample,
                                const common::MediaTime& outputTime);
    void routeMicrophoneSample(const std::shared_ptr<platform::SampleBuffer>& sample,
                               const common::MediaTime& outputTime);
    struct AudioOutput {
        platform::AssetWriter* writer;
        platform::WriterInput* input;
        common::MediaTime& lastTime;
        std::optional<common::MediaTime>& firstTime;
        bool isInline;
    };
    void appendToAudioOutput(const AudioOutput& output, const std::shared_ptr<platform::SampleBuffer>& sample,
                             const common::MediaTime& outputTime);

    // Finalisation (finalize/).
    common::Result<std::string> finishCapture(const common::TaskContext& task);
    void completeFinalization(std::variant<std::string, common::Error> outcome);
    void resetRecordingState();

    platform::Platform platform_;
    common::LineSink& lines_;
    ProcessExit processExit_;
};

}  // namespace recorder
