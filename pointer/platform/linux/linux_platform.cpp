#include "pointer/platform/linux/linux_platform.hpp"

#include "pointer/platform/linux/atspi_accessibility.hpp"
#include "pointer/platform/linux/cairo_image_renderer.hpp"
#include "pointer/platform/linux/xcursor_theme_library.hpp"
#include "pointer/platform/linux/xfixes_screen_pointer.hpp"
#include "pointer/platform/linux/xinput_button_events.hpp"

namespace pointer::platform::linux_x11 {
namespace {

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

}  // namespace

PointerPlatform openLinuxPlatform() {
    PointerPlatform platform;
    platform.screenPointer = openScreenPointer();
    platform.standardCursors = std::make_unique<XcursorThemeLibrary>(XcursorThemeLibrary::forCurrentSession());
    platform.renderer = std::make_unique<CairoImageRenderer>();
    platform.accessibility = std::make_unique<AtspiAccessibility>();
    platform.buttons = openButtonEvents();
    return platform;
}

}  // namespace pointer::platform::linux_x11
