#pragma once

#include <xcb/xcb.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "common/error.hpp"

namespace pointer::platform::linux_x11 {

struct FreeDeleter {
    void operator()(void* pointer) const { std::free(pointer); }
};

// An XCB reply or event, freed with free() as XCB asks.
template <class T>
using XcbReply = std::unique_ptr<T, FreeDeleter>;

struct ConnectionDeleter {
    void operator()(xcb_connection_t* connection) const { xcb_disconnect(connection); }
};

// One connection to the X display and its first screen's root window.
class XcbConnection {
public:
    // The display named by DISPLAY; an error when there is none or it cannot be reached.
    static common::Result<XcbConnection> open();

    xcb_connection_t* get() const { return connection_.get(); }
    xcb_window_t root() const { return root_; }

private:
    XcbConnection(std::unique_ptr<xcb_connection_t, ConnectionDeleter> connection, xcb_window_t root)
        : connection_(std::move(connection)), root_(root) {}
    std::unique_ptr<xcb_connection_t, ConnectionDeleter> connection_;
    xcb_window_t root_ = XCB_NONE;
};

}  // namespace pointer::platform::linux_x11
