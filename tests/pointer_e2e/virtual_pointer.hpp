#pragma once

#include <memory>

#include "tests/support/desktop/wayland_desktop.hpp"

namespace pointertest {

// A virtual pointer on a headless mutter desktop (mutter's remote-desktop interface).
class VirtualPointer {
public:
    // Throws std::runtime_error when mutter grants no remote-desktop session.
    explicit VirtualPointer(testsupport::WaylandDesktop& desktop);
    // Moves the pointer to a point of the monitor and waits until mutter took it.
    void moveTo(int x, int y);

private:
    std::unique_ptr<testsupport::ChildProcess> driver_;
};

// A full-screen GTK window in side-by-side zones, each showing the cursor named (CSS names), ready
// when this returns. Throws std::runtime_error when it does not come up.
std::unique_ptr<testsupport::ChildProcess> showCursorZones(testsupport::WaylandDesktop& desktop,
                                                           const std::vector<std::string>& cursorNames);

}  // namespace pointertest
