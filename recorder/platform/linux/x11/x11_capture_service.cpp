#include "recorder/platform/linux/x11/x11_capture_service.hpp"

#include <mutex>

#include "recorder/platform/linux/pulse/audio_source.hpp"
#include "recorder/platform/linux/x11/monitors.hpp"
#include "recorder/platform/linux/x11/window_inspector.hpp"
#include "recorder/platform/linux/x11/window_selection.hpp"
#include "recorder/platform/linux/x11/x11_capture_stream.hpp"
#include "recorder/platform/linux/x11/x11_connection.hpp"

namespace recorder::linux_backend {
namespace {

using x11::X11Connection;

// Answers questions about displays and windows on one connection of its own, opened when first
// needed and opened again after the server went away. Streams use connections of their own.
class X11CaptureService final : public platform::CaptureService {
public:
    explicit X11CaptureService(X11CaptureOptions options) : options_(options) {}

    uint32_t mainDisplayID() override {
        std::lock_guard lock(mutex_);
        if (!connect()) return 0;
        return x11::mainMonitorID(x11::queryMonitors(*connection_)).value_or(0);
    }

    common::Rect displayBounds(uint32_t displayID) override {
        std::lock_guard lock(mutex_);
        if (!connect()) return common::Rect{};
        const auto monitors = x11::queryMonitors(*connection_);
        const x11::Monitor* monitor = x11::findMonitor(monitors, displayID);
        return monitor ? monitor->frame : common::Rect{};
    }

    std::optional<platform::DisplayMode> displayMode(uint32_t displayID) override {
        std::lock_guard lock(mutex_);
        if (!connect()) return std::nullopt;
        const auto monitors = x11::queryMonitors(*connection_);
        const x11::Monitor* monitor = x11::findMonitor(monitors, displayID);
        if (!monitor) return std::nullopt;
        // X coordinates are pixels: one point is one pixel.
        const auto width = static_cast<int64_t>(monitor->frame.width);
        return platform::DisplayMode{width, width};
    }

    common::Result<platform::ShareableContent> shareableContent(bool excludingDesktopWindows,
                                                                bool onScreenWindowsOnly) override {
        std::lock_guard lock(mutex_);
        if (auto error = connect(); !error.ok()) return error.error();
        platform::ShareableContent content;
        content.displays = x11::displaysOf(*connection_, x11::queryMonitors(*connection_));
        auto windows = inspector_->clientWindows();
        auto selection = x11::selectShareableWindows(windows, inspector_->clientProcesses(), excludingDesktopWindows,
                                                     onScreenWindowsOnly);
        if (connection_->isBroken()) return connection_->lostError();
        content.windows = std::move(selection.windows);
        content.applications = std::move(selection.applications);
        return content;
    }

    bool canCaptureMicrophone() override { return audioServerAnswers() && !listMicrophones().empty(); }

    bool canCaptureSystemAudio() override { return soundOutputAvailable(); }

    common::Result<std::shared_ptr<platform::CaptureStream>> makeStream(
        const platform::ContentFilter& filter, const platform::StreamConfiguration& configuration,
        std::weak_ptr<platform::StreamDelegate> delegate) override {
        if (auto refused = checkDeliverablePixelFormat(configuration.pixelFormat, x11::kErrorDomain)) return *refused;
        return std::shared_ptr<platform::CaptureStream>(
            std::make_shared<x11::X11CaptureStream>(filter, configuration, std::move(delegate),
                                                    options_.framesFromChanges));
    }

private:
    // A usable connection, or why there is none. Must be called with mutex_ held.
    common::Result<bool> connect() {
        if (connection_ && connection_->isBroken()) {
            inspector_.reset();
            connection_.reset();
        }
        if (connection_) return true;
        auto opened = X11Connection::open();
        if (!opened) return opened.error();
        connection_ = std::move(opened).value();
        inspector_ = std::make_unique<x11::WindowInspector>(*connection_);
        return true;
    }

    const X11CaptureOptions options_;
    std::mutex mutex_;
    std::unique_ptr<X11Connection> connection_;
    std::unique_ptr<x11::WindowInspector> inspector_;
};

}  // namespace

std::shared_ptr<platform::CaptureService> makeX11CaptureService(X11CaptureOptions options) {
    return std::make_shared<X11CaptureService>(options);
}

bool x11DisplayUsable() {
    auto connection = X11Connection::open();
    return connection.ok() && connection.value()->extensions().shm;
}

}  // namespace recorder::linux_backend
