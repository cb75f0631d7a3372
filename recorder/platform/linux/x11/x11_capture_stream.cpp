#include "recorder/platform/linux/x11/x11_capture_stream.hpp"

#include <algorithm>

namespace recorder::linux_backend::x11 {

X11CaptureStream::X11CaptureStream(const platform::ContentFilter& filter,
                                   const platform::StreamConfiguration& configuration,
                                   std::weak_ptr<platform::StreamDelegate> delegate, bool framesFromChanges)
    : LinuxCaptureStream(configuration, std::move(delegate), kErrorDomain),
      filter_(filter),
      framesFromChanges_(framesFromChanges) {}

X11CaptureStream::~X11CaptureStream() { stopEverything(); }

common::Status X11CaptureStream::startVideo() {
    auto connection = X11Connection::open();
    if (!connection) return connection.error();
    auto target = grabTargetFor(filter_, connection.value()->screenWidth(), connection.value()->screenHeight());
    if (!target) return target.error();
    FrameGrabberOptions options;
    options.pixelFormat = configuration_.pixelFormat;
    options.frameInterval = frameInterval();
    // For the whole screen, the largest picture a retarget can ask for: the pool keeps its depth.
    const size_t largestFrame = platform::PixelBuffer::byteCount(
        configuration_.pixelFormat, connection.value()->screenWidth(), connection.value()->screenHeight());
    options.queueDepth = static_cast<int>(platform::framesInFlight(
        static_cast<size_t>(std::max(configuration_.queueDepth, 0)), largestFrame));
    options.framesFromChanges = framesFromChanges_;
    auto grabber = FrameGrabber::start(
        std::move(connection).value(), std::move(target).value(), options,
        [this](std::shared_ptr<platform::SampleBuffer> frame) { deliver(platform::StreamOutputType::screen, frame); },
        [this](const common::Error& error) { reportLoss(error); });
    if (!grabber) return grabber.error();
    std::lock_guard lock(grabberMutex_);
    grabber_ = std::move(grabber).value();
    return std::nullopt;
}

common::Status X11CaptureStream::retargetVideo(const platform::ContentFilter& filter) {
    std::lock_guard lock(grabberMutex_);
    if (grabber_) {
        auto target = grabTargetFor(filter, grabber_->screenWidth(), grabber_->screenHeight());
        if (!target) return target.error();
        grabber_->retarget(std::move(target).value());
    }
    filter_ = filter;
    return std::nullopt;
}

void X11CaptureStream::stopVideo() {
    std::lock_guard lock(grabberMutex_);
    if (grabber_) grabber_->stop();
}

std::optional<FrameGrabberStatistics> X11CaptureStream::frameStatistics() const {
    std::lock_guard lock(grabberMutex_);
    if (!grabber_) return std::nullopt;
    return grabber_->statistics();
}

}  // namespace recorder::linux_backend::x11
