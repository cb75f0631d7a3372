#pragma once

#include <xcb/xcb.h>

#include <memory>
#include <string>

#include "common/error.hpp"
#include "recorder/platform/linux/x11/xcb_handles.hpp"

namespace recorder::linux_backend::x11 {

inline constexpr const char* kErrorDomain = "X11Capture";

// Atoms every query of this backend uses, interned once per connection.
struct Atoms {
    xcb_atom_t netClientList = XCB_NONE;
    xcb_atom_t netClientListStacking = XCB_NONE;
    xcb_atom_t netWmState = XCB_NONE;
    xcb_atom_t netWmStateHidden = XCB_NONE;
    xcb_atom_t netWmPid = XCB_NONE;
    xcb_atom_t netWmWindowType = XCB_NONE;
    xcb_atom_t netWmWindowTypeDesktop = XCB_NONE;
    xcb_atom_t netWmName = XCB_NONE;
    xcb_atom_t utf8String = XCB_NONE;
};

// Which optional extensions the server offers (after their versions were negotiated).
struct Extensions {
    bool shm = false;
    bool randrMonitors = false;  // RandR 1.5 or later
    bool xfixes = false;
    bool damage = false;
    bool resClientIds = false;  // X-Resource 1.2 or later
    bool compositePixmaps = false;  // Composite 0.2 or later: window contents as pixmaps
    uint8_t damageFirstEvent = 0;
};

// One connection to the X display named by DISPLAY, with the facts about its default screen that
// capture needs. Every XCB call on it must come from one thread at a time (the owner's).
class X11Connection {
public:
    static common::Result<std::unique_ptr<X11Connection>> open();

    xcb_connection_t* get() const { return connection_.get(); }
    xcb_window_t root() const { return root_; }
    int screenWidth() const { return screenWidth_; }
    int screenHeight() const { return screenHeight_; }
    const Atoms& atoms() const { return atoms_; }
    const Extensions& extensions() const { return extensions_; }
    const std::string& displayName() const { return displayName_; }

    // True once the server is gone or the stream of the protocol is corrupt; nothing recovers it.
    bool isBroken() const;
    // The lost-connection error a person can act on, with XCB's reason.
    common::Error lostError() const;

private:
    X11Connection() = default;

    ConnectionHandle connection_;
    xcb_window_t root_ = XCB_NONE;
    int screenWidth_ = 0;
    int screenHeight_ = 0;
    std::string displayName_;
    Atoms atoms_;
    Extensions extensions_;
};

// What XCB's connection error codes mean, in words.
std::string describeConnectionError(int xcbErrorCode);

}  // namespace recorder::linux_backend::x11
