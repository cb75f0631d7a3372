#include "recorder/platform/linux/wayland/wayland_capture_service.hpp"

#include "recorder/platform/linux/portal/source_choice.hpp"
#include "recorder/platform/linux/pulse/audio_source.hpp"
#include "recorder/platform/linux/wayland/wayland_capture_stream.hpp"

namespace recorder::linux_backend::wayland {

ScreenCastPlan screenCastPlanFor(const WaylandRequest& request) {
    ScreenCastPlan plan;
    plan.sourceType = request.windowId && !request.region ? portal::kSourceWindow : portal::kSourceMonitor;
    plan.restoreTokenPath = request.restoreTokenPath;
    plan.excludesApplications = request.excludesApplications;
    return plan;
}

namespace {

class WaylandCaptureService final : public platform::CaptureService {
public:
    WaylandCaptureService(std::shared_ptr<ScreenCast> cast, const WaylandRequest& request)
        : cast_(std::move(cast)), request_(request), displayID_(request.displayId.value_or(kGrantedDisplayID)) {}

    uint32_t mainDisplayID() override { return displayID_; }

    common::Rect displayBounds(uint32_t displayID) override {
        auto frame = grantedFrame();
        if (!frame || displayID != displayID_) return common::Rect{};
        return frame.value();
    }

    std::optional<platform::DisplayMode> displayMode(uint32_t displayID) override {
        auto frame = grantedFrame();
        if (!frame || displayID != displayID_) return std::nullopt;
        // The stream's size is in pixels and nothing else is known: one point is one pixel.
        const auto width = static_cast<int64_t>(frame.value().width);
        return platform::DisplayMode{width, width};
    }

    common::Result<platform::ShareableContent> shareableContent(bool, bool) override {
        auto frame = grantedFrame();
        if (!frame) return frame.error();
        platform::ShareableContent content;
        content.displays.push_back(platform::Display{displayID_, frame.value()});
        if (request_.windowId && (cast_->live() || !cast_->endsLikeAWindow())) {
            content.windows.push_back(platform::Window{*request_.windowId, request_.region.value_or(frame.value()),
                                                       std::nullopt});
        }
        return content;
    }

    bool canCaptureMicrophone() override { return audioServerAnswers() && !listMicrophones().empty(); }
    bool canCaptureSystemAudio() override { return soundOutputAvailable(); }
    // The desktop's own dialog picks the source; a listing must not open it.
    platform::SourceSelection sourceSelection() override { return platform::SourceSelection::desktopDialog; }

    common::Result<std::shared_ptr<platform::CaptureStream>> makeStream(
        const platform::ContentFilter&, const platform::StreamConfiguration& configuration,
        std::weak_ptr<platform::StreamDelegate> delegate) override {
        if (auto refused = checkDeliverablePixelFormat(configuration.pixelFormat, kErrorDomain)) return *refused;
        return std::shared_ptr<platform::CaptureStream>(
            std::make_shared<WaylandCaptureStream>(cast_, configuration, std::move(delegate)));
    }

private:
    common::Result<common::Rect> grantedFrame() {
        auto size = cast_->open();
        if (!size) return size.error();
        return common::Rect{0, 0, static_cast<double>(size.value().first), static_cast<double>(size.value().second)};
    }

    const std::shared_ptr<ScreenCast> cast_;
    const WaylandRequest request_;
    const uint32_t displayID_;
};

}  // namespace

std::shared_ptr<platform::CaptureService> makeWaylandCaptureService(std::shared_ptr<ScreenCast> cast,
                                                                    const WaylandRequest& request) {
    return std::make_shared<WaylandCaptureService>(std::move(cast), request);
}

}  // namespace recorder::linux_backend::wayland
