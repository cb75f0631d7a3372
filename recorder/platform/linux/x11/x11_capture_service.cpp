#include "recorder/platform/linux/x11/x11_capture_service.hpp"

#include <xcb/xcb.h>

namespace recorder::linux_backend {

std::shared_ptr<platform::CaptureService> makeX11CaptureService() { return nullptr; }

bool x11DisplayUsable() {
    int screen = 0;
    xcb_connection_t* connection = xcb_connect(nullptr, &screen);
    const bool usable = xcb_connection_has_error(connection) == 0;
    xcb_disconnect(connection);
    return usable;
}

}  // namespace recorder::linux_backend
