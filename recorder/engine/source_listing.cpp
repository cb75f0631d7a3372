#include "recorder/engine/source_listing.hpp"

#include <nlohmann/json.hpp>

#include <cmath>

#include "recorder/engine/screen_capture_recorder.hpp"

namespace recorder {
namespace {

using Json = nlohmann::ordered_json;

// Whole numbers as integers (X11 coordinates always are): 640, not 640.0.
Json coordinate(double value) {
    constexpr double kLargestExact = 9007199254740992.0;  // 2^53
    if (std::trunc(value) == value && std::fabs(value) <= kLargestExact) return Json(static_cast<int64_t>(value));
    return Json(value);
}

Json frameJson(const common::Rect& frame) {
    return Json{{"x", coordinate(frame.x)},
                {"y", coordinate(frame.y)},
                {"width", coordinate(frame.width)},
                {"height", coordinate(frame.height)}};
}

Json displaysJson(platform::CaptureService& capture, const platform::ShareableContent& content) {
    const uint32_t mainDisplay = capture.mainDisplayID();
    Json displays = Json::array();
    for (const auto& display : content.displays) {
        const int64_t scale = ScreenCaptureRecorder::pixelScale(capture, display.displayID);
        displays.push_back(Json{{"displayId", display.displayID},
                                {"name", display.name},
                                {"frame", frameJson(display.frame)},
                                {"scale", scale},
                                {"pixelWidth", static_cast<int64_t>(display.frame.width) * scale},
                                {"pixelHeight", static_cast<int64_t>(display.frame.height) * scale},
                                {"primary", display.displayID == mainDisplay}});
    }
    return displays;
}

// Topmost first, as the desktop stacks them; a window on no display could not be recorded.
Json windowsJson(const platform::ShareableContent& content) {
    Json windows = Json::array();
    for (const auto& window : content.windows) {
        const auto display = ScreenCaptureRecorder::captureDisplay(window.frame, content.displays);
        if (!display) continue;
        windows.push_back(Json{{"windowId", window.windowID},
                               {"title", window.title},
                               {"applicationName", window.applicationName},
                               {"processId", window.owningProcessID ? Json(*window.owningProcessID) : Json(nullptr)},
                               {"frame", frameJson(window.frame)},
                               {"displayId", display->displayID}});
    }
    return windows;
}

Json microphonesJson(platform::CaptureDeviceService& devices) {
    Json microphones = Json::array();
    for (const auto& device : devices.audioCaptureDevices()) {
        microphones.push_back(Json{{"microphoneDeviceId", device.uniqueID},
                                   {"microphoneLabel", device.localizedName},
                                   {"default", device.isDefault}});
    }
    return microphones;
}

}  // namespace

common::Result<std::string> describeCaptureSources(platform::CaptureService& capture,
                                                   platform::CaptureDeviceService& devices) {
    Json document;
    if (capture.sourceSelection() == platform::SourceSelection::desktopDialog) {
        document["sourceSelection"] = "desktop-dialog";
        document["displays"] = Json::array();
        document["windows"] = Json::array();
    } else {
        // The same question a recording's start asks, so every listed id is one a start accepts.
        const auto content = capture.shareableContent(false, true);
        if (!content) return content.error();
        document["sourceSelection"] = "list";
        document["displays"] = displaysJson(capture, content.value());
        document["windows"] = windowsJson(content.value());
    }
    document["microphones"] = microphonesJson(devices);
    document["systemAudioAvailable"] = capture.canCaptureSystemAudio();
    // Window titles come from other programs and need not be valid UTF-8.
    return document.dump(2, ' ', false, Json::error_handler_t::replace);
}

}  // namespace recorder
