#include <cmath>

#include "recorder/engine/capture_errors.hpp"
#include "recorder/engine/screen_capture_recorder.hpp"

namespace recorder {
namespace {

// truncate(points) × scale, and never below 2 pixels.
int pixelSize(double points, int64_t scale) {
    const int64_t pixels = static_cast<int64_t>(std::trunc(points)) * scale;
    return pixels < 3 ? 2 : static_cast<int>(pixels);
}

}  // namespace

platform::ContentFilter ScreenCaptureRecorder::contentFilter(
    const platform::Display& display, const std::vector<platform::Application>& applications) const {
    platform::ContentFilter filter;
    filter.display = display;
    for (const auto& application : applications) {
        if (excludedProcessIds.count(application.processID)) filter.excludedApplications.push_back(application);
    }
    return filter;
}

int64_t ScreenCaptureRecorder::pixelScale(platform::CaptureService& capture, uint32_t displayID) {
    const auto mode = capture.displayMode(displayID);
    if (!mode) return 1;
    const int64_t divisor = mode->width < 2 ? 1 : mode->width;
    const int64_t scale = mode->pixelWidth / divisor;
    return scale < 2 ? 1 : scale;
}

common::Result<ScreenCaptureRecorder::ResolvedSource> ScreenCaptureRecorder::resolveCaptureSource(
    const CaptureConfig& config, const platform::ShareableContent& content,
    platform::StreamConfiguration& configuration) {
    excludedProcessIds.clear();
    if (config.excludedProcessIds) excludedProcessIds.insert(config.excludedProcessIds->begin(), config.excludedProcessIds->end());
    trackedWindowId = config.windowId;

    ResolvedSource source;
    if (!config.windowId) {
        windowCropRect.reset();
        windowCropDisplayId.reset();
        const uint32_t displayID = config.displayId.value_or(platform_.capture->mainDisplayID());
        const platform::Display* display = nullptr;
        for (const auto& candidate : content.displays) {
            if (candidate.displayID == displayID) {
                display = &candidate;
                break;
            }
        }
        if (!display) return captureError(CaptureErrorKind::displayNotFound);
        source.filter = contentFilter(*display, content.applications);
        const common::Rect bounds = platform_.capture->displayBounds(displayID);
        const int64_t scale = pixelScale(*platform_.capture, displayID);
        configuration.width = pixelSize(bounds.width, scale);
        configuration.height = pixelSize(bounds.height, scale);
        source.outputWidth = configuration.width;
        source.outputHeight = configuration.height;
        return source;
    }

    const platform::Window* window = nullptr;
    for (const auto& candidate : content.windows) {
        if (candidate.windowID == *config.windowId) {
            window = &candidate;
            break;
        }
    }
    if (!window) return captureError(CaptureErrorKind::windowNotFound);

    common::Rect captureRect = window->frame;
    if (config.windowX && config.windowY && config.windowWidth && config.windowHeight && *config.windowWidth > 0 &&
        *config.windowHeight > 0) {
        captureRect = common::Rect{*config.windowX, *config.windowY, *config.windowWidth, *config.windowHeight};
    }
    const auto display = captureDisplay(captureRect, content.displays);
    if (!display) return captureError(CaptureErrorKind::windowDisplayNotFound);
    const int64_t scale = pixelScale(*platform_.capture, display->displayID);
    const common::Rect& frame = display->frame;
    // The chosen display contains the midpoint or overlaps the rectangle, so they meet.
    const common::Rect crop = common::intersection(captureRect, frame).value_or(common::Rect{});
    source.filter = contentFilter(*display, content.applications);

    windowCropRect = common::Rect{(crop.minX() - frame.minX()) / frame.width, (crop.minY() - frame.minY()) / frame.height,
                                  crop.width / frame.width, crop.height / frame.height};
    windowCropDisplayId = display->displayID;

    int outputWidth = pixelSize(crop.width, scale);
    int outputHeight = pixelSize(crop.height, scale);
    configuration.width = pixelSize(frame.width, scale);
    configuration.height = pixelSize(frame.height, scale);
    configuration.pixelFormat = platform::kPixelFormatBGRA;
    // Encoders need even sizes for 4:2:0; both are at least 2, so they stay at least 2.
    outputWidth &= ~1;
    outputHeight &= ~1;
    source.outputWidth = outputWidth;
    source.outputHeight = outputHeight;
    return source;
}

std::optional<platform::Display> ScreenCaptureRecorder::captureDisplay(const common::Rect& rect,
                                                                       const std::vector<platform::Display>& displays) {
    const common::Point midpoint = rect.midpoint();
    for (const auto& display : displays) {
        if (display.frame.contains(midpoint)) return display;
    }
    std::optional<platform::Display> best;
    double bestArea = 0;
    for (const auto& display : displays) {
        if (!common::overlaps(display.frame, rect)) continue;
        const double area = common::intersection(display.frame, rect)->area();
        if (!best || area > bestArea) {
            best = display;
            bestArea = area;
        }
    }
    return best;
}

}  // namespace recorder
