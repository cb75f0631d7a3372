#pragma once

#include <memory>

#include "recorder/platform/capture_service.hpp"

namespace recorder::linux_backend {

struct X11CaptureOptions {
    // NV12 frames made from the changed areas only (x11::FrameGrabberOptions::framesFromChanges);
    // the recorder asks for it, tests can compare it with whole grabs.
    bool framesFromChanges = false;
};

// Displays from RandR monitors, windows from EWMH, streams grabbing with MIT-SHM, audio from the
// sound server. Connects to the X display named by DISPLAY when first used.
std::shared_ptr<platform::CaptureService> makeX11CaptureService(X11CaptureOptions options = {});

// True when the X display named by DISPLAY can be opened and offers MIT-SHM.
bool x11DisplayUsable();

}  // namespace recorder::linux_backend
