#include "pointer/platform/linux/xcb_handles.hpp"

namespace pointer::platform::linux_x11 {

common::Result<XcbConnection> XcbConnection::open() {
    const char* name = std::getenv("DISPLAY");
    if (name == nullptr || *name == '\0') {
        return common::Error{"X11", 1, "no X display: DISPLAY is not set"};
    }
    int screenNumber = 0;
    std::unique_ptr<xcb_connection_t, ConnectionDeleter> connection(xcb_connect(nullptr, &screenNumber));
    if (xcb_connection_has_error(connection.get())) {
        return common::Error{"X11", 2, std::string("cannot open X display ") + name};
    }
    auto screens = xcb_setup_roots_iterator(xcb_get_setup(connection.get()));
    for (int i = 0; i < screenNumber && screens.rem > 0; ++i) xcb_screen_next(&screens);
    if (screens.rem == 0) return common::Error{"X11", 3, std::string("X display ") + name + " has no screen"};
    return XcbConnection(std::move(connection), screens.data->root);
}

}  // namespace pointer::platform::linux_x11
