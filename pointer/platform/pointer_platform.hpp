#pragma once

#include <memory>

#include "pointer/platform/accessibility.hpp"
#include "pointer/platform/button_events.hpp"
#include "pointer/platform/cursor_services.hpp"

namespace pointer::platform {

// Every service the monitor uses, wired once at start.
struct PointerPlatform {
    std::unique_ptr<ScreenPointer> screenPointer;
    std::unique_ptr<StandardCursorLibrary> standardCursors;
    std::unique_ptr<ImageRenderer> renderer;
    std::unique_ptr<AccessibilityService> accessibility;
    std::unique_ptr<ButtonEventSource> buttons;
};

}  // namespace pointer::platform
