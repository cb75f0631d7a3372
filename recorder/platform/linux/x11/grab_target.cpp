#include "recorder/platform/linux/x11/grab_target.hpp"

#include <cmath>
#include <string>

namespace recorder::linux_backend::x11 {

common::Result<GrabTarget> grabTargetFor(const platform::ContentFilter& filter, int screenWidth, int screenHeight) {
    const common::Rect& frame = filter.display.frame;
    const PixelRect display{static_cast<int>(std::lround(frame.minX())), static_cast<int>(std::lround(frame.minY())),
                            static_cast<int>(std::lround(frame.width)), static_cast<int>(std::lround(frame.height))};
    GrabTarget target;
    target.displayID = filter.display.displayID;
    target.rect = intersect(display, PixelRect{0, 0, screenWidth, screenHeight});
    if (target.rect.isEmpty()) {
        return common::Error{"X11Capture", 20,
                             "display " + std::to_string(filter.display.displayID) + " (" +
                                 std::to_string(display.width) + "x" + std::to_string(display.height) + " at " +
                                 std::to_string(display.x) + "," + std::to_string(display.y) +
                                 ") lies outside the X screen"};
    }
    for (const auto& application : filter.excludedApplications) target.excludedPids.insert(application.processID);
    return target;
}

int64_t nextFrameDeadline(int64_t deadline, int64_t now, int64_t interval) {
    if (interval <= 0) return now;
    const int64_t next = deadline + interval;
    if (next > now) return next;
    // The first tick of the same grid after now, so the rate stays exact over a long recording.
    return deadline + ((now - deadline) / interval + 1) * interval;
}

}  // namespace recorder::linux_backend::x11
