#include "recorder/platform/linux/portal/source_choice.hpp"

namespace recorder::linux_backend::portal {

PortalChoice chooseCursorMode(uint32_t availableModes) {
    if (availableModes & kCursorHidden) return {kCursorHidden, std::nullopt};
    if (availableModes & kCursorMetadata) return {kCursorMetadata, std::nullopt};
    if (availableModes & kCursorEmbedded) {
        return {kCursorEmbedded, "Wayland: the desktop cannot hide the pointer from the screen cast; it is recorded in the frames"};
    }
    // Nothing announced: leave the choice to the desktop rather than ask for a mode it lacks.
    return {0, "Wayland: the desktop announces no pointer modes; the pointer may be recorded in the frames"};
}

PortalChoice chooseSourceType(uint32_t wanted, uint32_t availableTypes) {
    if (availableTypes == 0 || (availableTypes & wanted)) return {wanted, std::nullopt};
    if (wanted == kSourceWindow) {
        return {kSourceMonitor, "Wayland: the desktop offers no window sources; recording a whole screen instead"};
    }
    return {wanted, std::nullopt};
}

}  // namespace recorder::linux_backend::portal
