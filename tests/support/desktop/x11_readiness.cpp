#include "tests/support/desktop/x11_readiness.hpp"

#include "tests/support/desktop/readiness.hpp"

#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#include <memory>

namespace testsupport {

namespace {

struct ConnectionCloser {
    void operator()(xcb_connection_t* c) const { xcb_disconnect(c); }
};
using Connection = std::unique_ptr<xcb_connection_t, ConnectionCloser>;

struct ReplyFree {
    void operator()(void* reply) const { std::free(reply); }
};
template <typename T>
using Reply = std::unique_ptr<T, ReplyFree>;

Connection connect(const std::string& display) {
    Connection connection(xcb_connect(display.c_str(), nullptr));
    if (xcb_connection_has_error(connection.get())) return nullptr;
    return connection;
}

xcb_atom_t internAtom(xcb_connection_t* c, const char* name) {
    Reply<xcb_intern_atom_reply_t> reply(
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, static_cast<uint16_t>(std::strlen(name)), name), nullptr));
    return reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
}

// The first 32-bit value of a WINDOW-typed property, or none.
xcb_window_t windowProperty(xcb_connection_t* c, xcb_window_t window, xcb_atom_t property) {
    Reply<xcb_get_property_reply_t> reply(
        xcb_get_property_reply(c, xcb_get_property(c, 0, window, property, XCB_ATOM_WINDOW, 0, 1), nullptr));
    if (!reply || reply->format != 32 || xcb_get_property_value_length(reply.get()) < 4) return xcb_window_t{XCB_WINDOW_NONE};
    return *static_cast<xcb_window_t*>(xcb_get_property_value(reply.get()));
}

bool hasProperty(xcb_connection_t* c, xcb_window_t window, xcb_atom_t property) {
    Reply<xcb_get_property_reply_t> reply(
        xcb_get_property_reply(c, xcb_get_property(c, 0, window, property, XCB_GET_PROPERTY_TYPE_ANY, 0, 64), nullptr));
    return reply && reply->type != XCB_ATOM_NONE && xcb_get_property_value_length(reply.get()) > 0;
}

}  // namespace

bool displayAcceptsClients(const std::string& display) { return connect(display) != nullptr; }

bool windowManagerRuns(const std::string& display) {
    Connection connection = connect(display);
    if (!connection) return false;
    xcb_connection_t* c = connection.get();
    xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
    xcb_window_t check = windowProperty(c, root, internAtom(c, "_NET_SUPPORTING_WM_CHECK"));
    return check != XCB_WINDOW_NONE && hasProperty(c, check, internAtom(c, "_NET_WM_NAME"));
}

bool windowManagerManagesWindows(const std::string& display, std::chrono::milliseconds timeout) {
    Connection connection = connect(display);
    if (!connection) return false;
    xcb_connection_t* c = connection.get();
    xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    xcb_window_t probe = xcb_generate_id(c);
    xcb_create_window(c, XCB_COPY_FROM_PARENT, probe, screen->root, 0, 0, 1, 1, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                      screen->root_visual, 0, nullptr);
    auto reparented = [&] {
        // A map request lost by a window manager that was still starting is simply asked again.
        xcb_map_window(c, probe);
        Reply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(c, xcb_query_tree(c, probe), nullptr));
        return tree && tree->parent != screen->root;
    };
    bool managed = pollUntil(reparented, timeout);
    xcb_destroy_window(c, probe);
    Reply<xcb_get_input_focus_reply_t> sync(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
    return managed;
}

}  // namespace testsupport
