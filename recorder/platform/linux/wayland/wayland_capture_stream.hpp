#pragma once

#include <memory>

#include "recorder/platform/linux/stream/linux_capture_stream.hpp"
#include "recorder/platform/linux/wayland/screen_cast.hpp"

namespace recorder::linux_backend::wayland {

// A capture stream fed by the desktop's screen cast; audio as on every Linux desktop.
class WaylandCaptureStream final : public LinuxCaptureStream {
public:
    WaylandCaptureStream(std::shared_ptr<ScreenCast> cast, const platform::StreamConfiguration& configuration,
                         std::weak_ptr<platform::StreamDelegate> delegate);
    ~WaylandCaptureStream() override;

private:
    common::Status startVideo() override;
    common::Status retargetVideo(const platform::ContentFilter& filter) override;
    void stopVideo() override;

    const std::shared_ptr<ScreenCast> cast_;
};

}  // namespace recorder::linux_backend::wayland
