#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace recorder::linux_backend::portal {

// Bits of the portal's AvailableSourceTypes and values of SelectSources' "types".
inline constexpr uint32_t kSourceMonitor = 1;
inline constexpr uint32_t kSourceWindow = 2;
// Bits of AvailableCursorModes and values of "cursor_mode".
inline constexpr uint32_t kCursorHidden = 1;
inline constexpr uint32_t kCursorEmbedded = 2;
inline constexpr uint32_t kCursorMetadata = 4;

// A choice among what the desktop offers, and the one line to tell the user when it is not
// what was asked for.
struct PortalChoice {
    uint32_t value = 0;
    std::optional<std::string> notice;
};

// The pointer must not be in the frames: hidden, else metadata (kept out of the picture), else
// whatever is offered, said once.
PortalChoice chooseCursorMode(uint32_t availableModes);

// A window when one was asked for and the desktop offers windows; otherwise a monitor. A desktop
// that reports no source types at all (old portals) is asked for what was wanted.
PortalChoice chooseSourceType(uint32_t wanted, uint32_t availableTypes);

}  // namespace recorder::linux_backend::portal
