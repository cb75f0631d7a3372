#pragma once

#include <memory>
#include <optional>

#include "recorder/platform/linux/stream/linux_capture_stream.hpp"
#include "recorder/platform/linux/x11/frame_grabber.hpp"

namespace recorder::linux_backend::x11 {

// A capture stream of one display: frames from a FrameGrabber on its own X connection, system
// audio and microphone from the sound server, each delivered on the queue its output was
// registered with.
class X11CaptureStream final : public LinuxCaptureStream {
public:
    X11CaptureStream(const platform::ContentFilter& filter, const platform::StreamConfiguration& configuration,
                     std::weak_ptr<platform::StreamDelegate> delegate, bool framesFromChanges = false);
    ~X11CaptureStream() override;

    // Frame counts and costs of the running (or last) capture; none before the first start.
    std::optional<FrameGrabberStatistics> frameStatistics() const;

private:
    common::Status startVideo() override;
    common::Status retargetVideo(const platform::ContentFilter& filter) override;
    void stopVideo() override;

    platform::ContentFilter filter_;
    const bool framesFromChanges_;
    // Created by the start, ended by the stop; both run under the stream's control lock.
    mutable std::mutex grabberMutex_;
    std::unique_ptr<FrameGrabber> grabber_;
};

}  // namespace recorder::linux_backend::x11
