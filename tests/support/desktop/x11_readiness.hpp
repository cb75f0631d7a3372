#pragma once

#include <chrono>
#include <string>

namespace testsupport {

// True when an X client can connect to `display` (":N").
bool displayAcceptsClients(const std::string& display);

// True when an EWMH window manager runs on `display`: the root's _NET_SUPPORTING_WM_CHECK names a
// window that carries _NET_WM_NAME.
bool windowManagerRuns(const std::string& display);

// True once the window manager on `display` manages a newly mapped window (reparents it into a
// frame), within `timeout`. openbox announces itself before it handles map requests, and a window
// mapped in that gap stays unmanaged and unexposed for good; a probe window closes that gap.
bool windowManagerManagesWindows(const std::string& display, std::chrono::milliseconds timeout);

}  // namespace testsupport
