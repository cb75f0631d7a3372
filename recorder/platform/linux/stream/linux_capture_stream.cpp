#include "recorder/platform/linux/stream/linux_capture_stream.hpp"

#include <algorithm>

#include "common/host_clock.hpp"

namespace recorder::linux_backend {

common::Status checkDeliverablePixelFormat(uint32_t pixelFormat, const std::string& errorDomain) {
    if (pixelFormat == platform::kPixelFormat420v || pixelFormat == platform::kPixelFormatBGRA) return std::nullopt;
    return common::Error{errorDomain, 33,
                         "the capture stream cannot deliver pixel format " + std::to_string(pixelFormat) +
                             "; only '420v' and 'BGRA'"};
}

LinuxCaptureStream::LinuxCaptureStream(const platform::StreamConfiguration& configuration,
                                       std::weak_ptr<platform::StreamDelegate> delegate, std::string errorDomain)
    : configuration_(configuration), delegate_(std::move(delegate)), errorDomain_(std::move(errorDomain)) {}

LinuxCaptureStream::~LinuxCaptureStream() = default;

common::Status LinuxCaptureStream::addStreamOutput(std::weak_ptr<platform::StreamOutput> output,
                                                   platform::StreamOutputType type,
                                                   common::SerialQueue& sampleHandlerQueue) {
    const int number = static_cast<int>(type);
    if (number < 0 || number > 2) {
        return common::Error{errorDomain_, 30, "unknown stream output type " + std::to_string(number)};
    }
    if (output.expired()) return common::Error{errorDomain_, 31, "the stream output no longer exists"};
    std::lock_guard lock(outputsMutex_);
    registrations_.push_back(Registration{std::move(output), type, &sampleHandlerQueue});
    return std::nullopt;
}

bool LinuxCaptureStream::hasOutput(platform::StreamOutputType type) const {
    std::lock_guard lock(outputsMutex_);
    return std::any_of(registrations_.begin(), registrations_.end(),
                       [type](const Registration& r) { return r.type == type; });
}

void LinuxCaptureStream::deliver(platform::StreamOutputType type,
                                 const std::shared_ptr<platform::SampleBuffer>& sample) {
    std::lock_guard lock(outputsMutex_);
    for (const Registration& registration : registrations_) {
        if (registration.type != type) continue;
        registration.queue->async([this, delivering = delivering_, output = registration.output, sample, type] {
            if (!delivering->load()) return;
            if (auto receiver = output.lock()) receiver->streamDidOutputSampleBuffer(*this, sample, static_cast<int>(type));
        });
    }
}

common::Status LinuxCaptureStream::startAudio(platform::StreamOutputType type) {
    const bool microphone = type == platform::StreamOutputType::microphone;
    auto source = startAudioSource(microphone ? AudioSourceKind::microphone : AudioSourceKind::systemAudio,
                                   microphone ? configuration_.microphoneCaptureDeviceID : std::nullopt,
                                   [this, type](std::shared_ptr<platform::SampleBuffer> sample) {
                                       deliver(type, sample);
                                   });
    if (!source) return source.error();
    audioSources_.push_back(std::move(source).value());
    return std::nullopt;
}

common::MediaTime LinuxCaptureStream::frameInterval() const {
    const common::MediaTime& interval = configuration_.minimumFrameInterval;
    if (interval.isNumeric() && interval > common::MediaTime::zero()) return interval;
    return common::MediaTime::make(1, 60);
}

void LinuxCaptureStream::reportLoss(const common::Error& error) {
    if (lossReported_.exchange(true)) return;
    if (auto delegate = delegate_.lock()) delegate->streamDidStopWithError(*this, error);
}

common::Status LinuxCaptureStream::startCapture() {
    std::lock_guard control(controlMutex_);
    if (started_) return common::Error{errorDomain_, 32, "the capture stream was already started"};
    if (stopped_) {
        return common::Error{errorDomain_, 34, "the capture stream was stopped and cannot start again"};
    }
    started_ = true;
    delivering_->store(true);

    // A start that fails leaves nothing running, so a later stop or destruction has nothing to do.
    const auto fail = [this](common::Error error) -> common::Status {
        stopLocked();
        return error;
    };
    // Sound first: a stream is ready only after a warm-up, and the first frame must not be captured
    // before the sound that goes with it can be.
    if (configuration_.capturesAudio) {
        std::vector<platform::StreamOutputType> wanted;
        if (hasOutput(platform::StreamOutputType::audio)) wanted.push_back(platform::StreamOutputType::audio);
        if (configuration_.captureMicrophone && hasOutput(platform::StreamOutputType::microphone)) {
            wanted.push_back(platform::StreamOutputType::microphone);
        }
        for (const auto type : wanted) {
            // A half-started stream would record video without the sound that was asked for.
            if (auto error = startAudio(type)) return fail(*error);
        }
    }
    if (hasOutput(platform::StreamOutputType::screen)) {
        if (auto error = startVideo()) return fail(*error);
    }
    return std::nullopt;
}

common::Status LinuxCaptureStream::updateContentFilter(const platform::ContentFilter& filter) {
    std::lock_guard control(controlMutex_);
    return retargetVideo(filter);
}

common::Status LinuxCaptureStream::stopCapture() {
    stopEverything();
    return std::nullopt;
}

void LinuxCaptureStream::stopEverything() {
    std::lock_guard control(controlMutex_);
    stopLocked();
}

void LinuxCaptureStream::stopLocked() {
    if (stopped_) return;
    stopped_ = true;
    // Sound captured before this moment is still on its way from the sound server; it belongs
    // to the recording as much as the last frame does, or separate audio files end short of it.
    const int64_t stopNs = common::hostTimeNow().nanoseconds();
    for (auto& source : audioSources_) source->finishAt(stopNs);
    stopVideo();
    for (auto& source : audioSources_) source->stop();
    // Nothing captures any more. What was delivered (the last sound above all) still reaches the
    // outputs before this returns: every queue is flushed behind it. Only then does the flag turn
    // away whatever a stray producer might still hand over.
    std::vector<common::SerialQueue*> queues;
    {
        std::lock_guard lock(outputsMutex_);
        for (const auto& registration : registrations_) {
            if (std::find(queues.begin(), queues.end(), registration.queue) == queues.end()) {
                queues.push_back(registration.queue);
            }
        }
    }
    if (started_) {
        for (common::SerialQueue* queue : queues) queue->sync([] {});
    }
    delivering_->store(false);
}

}  // namespace recorder::linux_backend
