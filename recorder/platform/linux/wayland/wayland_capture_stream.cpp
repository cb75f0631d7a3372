#include "recorder/platform/linux/wayland/wayland_capture_stream.hpp"

namespace recorder::linux_backend::wayland {

WaylandCaptureStream::WaylandCaptureStream(std::shared_ptr<ScreenCast> cast,
                                           const platform::StreamConfiguration& configuration,
                                           std::weak_ptr<platform::StreamDelegate> delegate)
    : LinuxCaptureStream(configuration, std::move(delegate), kErrorDomain), cast_(std::move(cast)) {}

WaylandCaptureStream::~WaylandCaptureStream() { stopEverything(); }

common::Status WaylandCaptureStream::startVideo() {
    FrameTarget target;
    target.pixelFormat = configuration_.pixelFormat;
    target.width = configuration_.width;
    target.height = configuration_.height;
    target.queueDepth = configuration_.queueDepth;
    target.frameInterval = frameInterval();
    return cast_->attach(
        target,
        [this](std::shared_ptr<platform::SampleBuffer> frame) { deliver(platform::StreamOutputType::screen, frame); },
        [this](const common::Error& error) { reportLoss(error); });
}

// The desktop shows one source, whose display is the only one there is.
common::Status WaylandCaptureStream::retargetVideo(const platform::ContentFilter&) { return std::nullopt; }

void WaylandCaptureStream::stopVideo() { cast_->detach(); }

}  // namespace recorder::linux_backend::wayland
