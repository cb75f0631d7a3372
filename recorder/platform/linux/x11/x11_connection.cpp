#include "recorder/platform/linux/x11/x11_connection.hpp"

#include <xcb/composite.h>
#include <xcb/damage.h>
#include <xcb/randr.h>
#include <xcb/res.h>
#include <xcb/shm.h>
#include <xcb/xfixes.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace recorder::linux_backend::x11 {
namespace {

std::string currentDisplayName() {
    const char* name = std::getenv("DISPLAY");
    return name ? name : "";
}

bool extensionPresent(xcb_connection_t* connection, xcb_extension_t* extension) {
    const xcb_query_extension_reply_t* data = xcb_get_extension_data(connection, extension);
    return data != nullptr && data->present != 0;
}

Atoms internAtoms(xcb_connection_t* connection) {
    static constexpr std::array<const char*, 9> kNames = {
        "_NET_CLIENT_LIST",   "_NET_CLIENT_LIST_STACKING", "_NET_WM_STATE",
        "_NET_WM_STATE_HIDDEN", "_NET_WM_PID",             "_NET_WM_WINDOW_TYPE",
        "_NET_WM_WINDOW_TYPE_DESKTOP", "_NET_WM_NAME",     "UTF8_STRING"};
    std::array<xcb_intern_atom_cookie_t, kNames.size()> cookies{};
    for (size_t i = 0; i < kNames.size(); ++i) {
        cookies[i] = xcb_intern_atom(connection, 0, static_cast<uint16_t>(std::strlen(kNames[i])), kNames[i]);
    }
    std::array<xcb_atom_t, kNames.size()> values{};
    for (size_t i = 0; i < kNames.size(); ++i) {
        auto reply = takeReply<xcb_intern_atom_reply_t>(connection, cookies[i], xcb_intern_atom_reply);
        values[i] = reply ? reply->atom : XCB_NONE;
    }
    Atoms atoms;
    atoms.netClientList = values[0];
    atoms.netClientListStacking = values[1];
    atoms.netWmState = values[2];
    atoms.netWmStateHidden = values[3];
    atoms.netWmPid = values[4];
    atoms.netWmWindowType = values[5];
    atoms.netWmWindowTypeDesktop = values[6];
    atoms.netWmName = values[7];
    atoms.utf8String = values[8];
    return atoms;
}

// Extensions refuse requests from clients that never announced the version they speak, so every
// version is negotiated here, all requests first and then all replies.
Extensions negotiateExtensions(xcb_connection_t* connection) {
    Extensions found;
    const bool shm = extensionPresent(connection, &xcb_shm_id);
    const bool randr = extensionPresent(connection, &xcb_randr_id);
    const bool xfixes = extensionPresent(connection, &xcb_xfixes_id);
    const bool damage = extensionPresent(connection, &xcb_damage_id);
    const bool res = extensionPresent(connection, &xcb_res_id);
    const bool composite = extensionPresent(connection, &xcb_composite_id);

    xcb_shm_query_version_cookie_t shmCookie{};
    xcb_randr_query_version_cookie_t randrCookie{};
    xcb_xfixes_query_version_cookie_t xfixesCookie{};
    xcb_damage_query_version_cookie_t damageCookie{};
    xcb_res_query_version_cookie_t resCookie{};
    xcb_composite_query_version_cookie_t compositeCookie{};
    if (shm) shmCookie = xcb_shm_query_version(connection);
    if (randr) randrCookie = xcb_randr_query_version(connection, 1, 5);
    if (xfixes) xfixesCookie = xcb_xfixes_query_version(connection, 5, 0);
    if (damage) damageCookie = xcb_damage_query_version(connection, 1, 1);
    if (res) resCookie = xcb_res_query_version(connection, 1, 2);
    if (composite) compositeCookie = xcb_composite_query_version(connection, 0, 4);

    if (shm) found.shm = takeReply<xcb_shm_query_version_reply_t>(connection, shmCookie, xcb_shm_query_version_reply) != nullptr;
    if (randr) {
        auto reply = takeReply<xcb_randr_query_version_reply_t>(connection, randrCookie, xcb_randr_query_version_reply);
        found.randrMonitors = reply && (reply->major_version > 1 || reply->minor_version >= 5);
    }
    if (xfixes) {
        auto reply = takeReply<xcb_xfixes_query_version_reply_t>(connection, xfixesCookie, xcb_xfixes_query_version_reply);
        found.xfixes = reply && reply->major_version >= 2;  // regions came with version 2
    }
    if (damage) {
        auto reply = takeReply<xcb_damage_query_version_reply_t>(connection, damageCookie, xcb_damage_query_version_reply);
        found.damage = reply != nullptr && found.xfixes;  // damage is read back as an XFixes region
        if (found.damage) found.damageFirstEvent = xcb_get_extension_data(connection, &xcb_damage_id)->first_event;
    }
    if (res) {
        auto reply = takeReply<xcb_res_query_version_reply_t>(connection, resCookie, xcb_res_query_version_reply);
        found.resClientIds = reply && (reply->server_major > 1 || reply->server_minor >= 2);
    }
    if (composite) {
        auto reply = takeReply<xcb_composite_query_version_reply_t>(connection, compositeCookie,
                                                                    xcb_composite_query_version_reply);
        found.compositePixmaps = reply && (reply->major_version > 0 || reply->minor_version >= 2);
    }
    return found;
}

}  // namespace

std::string describeConnectionError(int xcbErrorCode) {
    switch (xcbErrorCode) {
        case XCB_CONN_ERROR: return "the connection to the X server broke (server gone or socket error)";
        case XCB_CONN_CLOSED_EXT_NOTSUPPORTED: return "the X server does not support a required extension";
        case XCB_CONN_CLOSED_MEM_INSUFFICIENT: return "out of memory while talking to the X server";
        case XCB_CONN_CLOSED_REQ_LEN_EXCEED: return "a request exceeded the X server's maximum length";
        case XCB_CONN_CLOSED_PARSE_ERR: return "the display name could not be parsed";
        case XCB_CONN_CLOSED_INVALID_SCREEN: return "the display has no such screen";
        default: return "the X server closed the connection";
    }
}

common::Result<std::unique_ptr<X11Connection>> X11Connection::open() {
    const std::string name = currentDisplayName();
    if (name.empty()) return common::Error{kErrorDomain, 1, "cannot open the X display: DISPLAY is not set"};

    int screenNumber = 0;
    ConnectionHandle connection(xcb_connect(nullptr, &screenNumber));
    if (const int code = xcb_connection_has_error(connection.get()); code != 0) {
        return common::Error{kErrorDomain, code,
                             "cannot open the X display \"" + name + "\": " + describeConnectionError(code)};
    }
    const xcb_setup_t* setup = xcb_get_setup(connection.get());
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(setup);
    for (int i = 0; i < screenNumber && screens.rem > 0; ++i) xcb_screen_next(&screens);
    if (screens.rem == 0) {
        return common::Error{kErrorDomain, XCB_CONN_CLOSED_INVALID_SCREEN,
                             "cannot open the X display \"" + name + "\": it has no screen " +
                                 std::to_string(screenNumber)};
    }

    std::unique_ptr<X11Connection> result(new X11Connection());
    result->root_ = screens.data->root;
    result->screenWidth_ = screens.data->width_in_pixels;
    result->screenHeight_ = screens.data->height_in_pixels;
    result->displayName_ = name;
    result->atoms_ = internAtoms(connection.get());
    result->extensions_ = negotiateExtensions(connection.get());
    result->connection_ = std::move(connection);
    if (result->isBroken()) return result->lostError();
    return result;
}

bool X11Connection::isBroken() const { return xcb_connection_has_error(connection_.get()) != 0; }

common::Error X11Connection::lostError() const {
    const int code = xcb_connection_has_error(connection_.get());
    return common::Error{kErrorDomain, code == 0 ? XCB_CONN_ERROR : code,
                         "the X display connection was lost: " + describeConnectionError(code) + " (display \"" +
                             displayName_ + "\")"};
}

}  // namespace recorder::linux_backend::x11
