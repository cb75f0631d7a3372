#include "pointer/platform/linux/linux_platform.hpp"

#include <cstdlib>

#include "pointer/platform/linux/atspi_accessibility.hpp"
#include "pointer/platform/linux/cairo_image_renderer.hpp"
#include "pointer/platform/linux/evdev_button_events.hpp"
#include "pointer/platform/linux/wayland_screen_pointer.hpp"
#include "pointer/platform/linux/xcursor_theme_library.hpp"
#include "pointer/platform/linux/xfixes_screen_pointer.hpp"
#include "pointer/platform/linux/xinput_button_events.hpp"
#include "recorder/platform/linux/backend_choice.hpp"

namespace pointer::platform::linux_x11 {
namespace {

// Where the kernel puts its input devices.
constexpr const char* kInputDeviceDirectory = "/dev/input";

std::unique_ptr<ScreenPointer> openScreenPointer() {
    if (auto connection = XcbConnection::open()) {
        if (auto pointer = XFixesScreenPointer::open(std::move(connection.value()))) return std::move(pointer.value());
    }
    return std::make_unique<AbsentScreenPointer>();
}

std::unique_ptr<ButtonEventSource> openButtonEvents() {
    // A connection of its own: the listener blocks on it while the state timer queries the cursor.
    if (auto connection = XcbConnection::open()) {
        if (auto events = XInputButtonEvents::open(std::move(connection.value()))) return std::move(events.value());
    }
    return std::make_unique<AbsentButtonEvents>();
}

bool inWaylandSession() {
    using recorder::linux_backend::CaptureBackend;
    return recorder::linux_backend::chooseCaptureBackend([](const char* name) { return std::getenv(name); }) ==
           CaptureBackend::wayland;
}

}  // namespace

PointerPlatform openLinuxPlatform(const LinuxPlatformOptions& options) {
    PointerPlatform platform;
    platform.standardCursors = std::make_unique<XcursorThemeLibrary>(XcursorThemeLibrary::forCurrentSession());
    platform.renderer = std::make_unique<CairoImageRenderer>();
    platform.accessibility = std::make_unique<AtspiAccessibility>();
    if (inWaylandSession()) {
        // No Wayland protocol tells a client about the pointer of other clients: the cursor comes
        // from a screen cast's metadata, the buttons from the kernel.
        if (options.watchPointer) {
            platform.screenPointer =
                std::make_unique<linux_wayland::WaylandScreenPointer>(options.restoreTokenPath, options.notice);
            platform.buttons = linux_evdev::openInputDeviceButtons(kInputDeviceDirectory);
        } else {
            platform.screenPointer = std::make_unique<AbsentScreenPointer>();
            platform.buttons = std::make_unique<AbsentButtonEvents>();
        }
    } else {
        platform.screenPointer = openScreenPointer();
        platform.buttons = openButtonEvents();
    }
    return platform;
}

}  // namespace pointer::platform::linux_x11
