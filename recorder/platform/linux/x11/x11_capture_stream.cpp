#include "recorder/platform/linux/x11/x11_capture_stream.hpp"

#include <algorithm>
#include <unordered_set>

#include "common/host_clock.hpp"

namespace recorder::linux_backend::x11 {
namespace {

common::MediaTime frameIntervalOf(const platform::StreamConfiguration& configuration) {
    const common::MediaTime& interval = configuration.minimumFrameInterval;
    if (interval.isNumeric() && interval > common::MediaTime::zero()) return interval;
    return common::MediaTime::make(1, 60);
}

}  // namespace

X11CaptureStream::X11CaptureStream(const platform::ContentFilter& filter,
                                   const platform::StreamConfiguration& configuration,
                                   std::weak_ptr<platform::StreamDelegate> delegate)
    : configuration_(configuration), delegate_(std::move(delegate)), filter_(filter) {}

X11CaptureStream::~X11CaptureStream() { stopEverything(); }

common::Status X11CaptureStream::addStreamOutput(std::weak_ptr<platform::StreamOutput> output,
                                                 platform::StreamOutputType type,
                                                 common::SerialQueue& sampleHandlerQueue) {
    const int number = static_cast<int>(type);
    if (number < 0 || number > 2) {
        return common::Error{kErrorDomain, 30, "unknown stream output type " + std::to_string(number)};
    }
    if (output.expired()) return common::Error{kErrorDomain, 31, "the stream output no longer exists"};
    std::lock_guard lock(outputsMutex_);
    registrations_.push_back(Registration{std::move(output), type, &sampleHandlerQueue});
    return std::nullopt;
}

bool X11CaptureStream::hasOutput(platform::StreamOutputType type) const {
    std::lock_guard lock(outputsMutex_);
    return std::any_of(registrations_.begin(), registrations_.end(),
                       [type](const Registration& r) { return r.type == type; });
}

void X11CaptureStream::deliver(platform::StreamOutputType type, const std::shared_ptr<platform::SampleBuffer>& sample) {
    std::lock_guard lock(outputsMutex_);
    for (const Registration& registration : registrations_) {
        if (registration.type != type) continue;
        registration.queue->async(
            [this, delivering = delivering_, output = registration.output, sample, type] {
                if (!delivering->load()) return;
                if (auto receiver = output.lock()) receiver->streamDidOutputSampleBuffer(*this, sample, static_cast<int>(type));
            });
    }
}

common::Status X11CaptureStream::startAudio(platform::StreamOutputType type) {
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

void X11CaptureStream::reportLoss(const common::Error& error) {
    if (lossReported_.exchange(true)) return;
    if (auto delegate = delegate_.lock()) delegate->streamDidStopWithError(*this, error);
}

common::Status X11CaptureStream::startCapture() {
    std::lock_guard control(controlMutex_);
    if (started_) return common::Error{kErrorDomain, 32, "the capture stream was already started"};
    if (stopped_) return common::Error{kErrorDomain, 34, "the capture stream was stopped and cannot start again"};
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
        auto connection = X11Connection::open();
        if (!connection) return fail(connection.error());
        auto target = grabTargetFor(filter_, connection.value()->screenWidth(), connection.value()->screenHeight());
        if (!target) return fail(target.error());
        FrameGrabberOptions options;
        options.pixelFormat = configuration_.pixelFormat;
        options.frameInterval = frameIntervalOf(configuration_);
        options.queueDepth = configuration_.queueDepth;
        auto grabber = FrameGrabber::start(
            std::move(connection).value(), std::move(target).value(), options,
            [this](std::shared_ptr<platform::SampleBuffer> frame) { deliver(platform::StreamOutputType::screen, frame); },
            [this](const common::Error& error) { reportLoss(error); });
        if (!grabber) return fail(grabber.error());
        grabber_ = std::move(grabber).value();
    }
    return std::nullopt;
}

common::Status X11CaptureStream::updateContentFilter(const platform::ContentFilter& filter) {
    std::lock_guard control(controlMutex_);
    if (grabber_) {
        auto target = grabTargetFor(filter, grabber_->screenWidth(), grabber_->screenHeight());
        if (!target) return target.error();
        grabber_->retarget(std::move(target).value());
    }
    filter_ = filter;
    return std::nullopt;
}

common::Status X11CaptureStream::stopCapture() {
    stopEverything();
    return std::nullopt;
}

void X11CaptureStream::stopEverything() {
    std::lock_guard control(controlMutex_);
    stopLocked();
}

void X11CaptureStream::stopLocked() {
    if (stopped_) return;
    stopped_ = true;
    // Sound captured before this moment is still on its way from the sound server; it belongs
    // to the recording as much as the last frame does, or separate audio files end short of it.
    const int64_t stopNs = common::hostTimeNow().nanoseconds();
    for (auto& source : audioSources_) source->finishAt(stopNs);
    if (grabber_) grabber_->stop();
    for (auto& source : audioSources_) source->stop();
    delivering_->store(false);
    // Blocks already queued are dropped by the flag; one that is running finishes before this
    // returns, because every queue is flushed behind it.
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
}

std::optional<FrameGrabberStatistics> X11CaptureStream::frameStatistics() const {
    std::lock_guard control(controlMutex_);
    if (!grabber_) return std::nullopt;
    return grabber_->statistics();
}

}  // namespace recorder::linux_backend::x11
