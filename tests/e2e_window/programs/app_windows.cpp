// app-windows: one application (one process) that opens its windows when told to, for tests of what a
// recording leaves out by process id. Unlike test-window it can exist as an X client before it has any
// window, and it can own several windows at once.
//
//   app-windows
//
// Prints "CONNECTED" once connected to the display (no window yet). Then obeys lines on standard input:
//   open X Y W H RRGGBB   maps a window of client size W x H filled with the colour, its frame placed at
//                         (X, Y) (under openbox the client then starts at (X + 1, Y + 20)); prints
//                         "OPENED <decimal window id>" once the window is shown and painted
//   quit                  ends the program (also at end of input)
// A line that cannot be obeyed prints "ERROR <why>".
//
// Every window carries _NET_WM_PID, so it counts as this application's from the moment it is mapped.

#include <xcb/xcb.h>

#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <sstream>
#include <string>

namespace {

struct ConnectionCloser {
    void operator()(xcb_connection_t* connection) const { xcb_disconnect(connection); }
};
using Connection = std::unique_ptr<xcb_connection_t, ConnectionCloser>;

struct Freer {
    void operator()(void* pointer) const { std::free(pointer); }
};
template <typename T>
using Reply = std::unique_ptr<T, Freer>;

void say(const std::string& line) {
    std::cout << line << '\n' << std::flush;
}

xcb_atom_t atom(xcb_connection_t* c, const char* name) {
    Reply<xcb_intern_atom_reply_t> reply(
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, static_cast<uint16_t>(std::strlen(name)), name), nullptr));
    return reply ? reply->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
}

// A round trip: everything sent before it has been carried out by the server.
void sync(xcb_connection_t* c) {
    Reply<xcb_get_input_focus_reply_t>(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
}

struct WindowRequest {
    int x = 0, y = 0, width = 0, height = 0;
    uint32_t colour = 0;
};

bool parseOpen(std::istringstream& words, WindowRequest& request) {
    std::string colour;
    if (!(words >> request.x >> request.y >> request.width >> request.height >> colour)) return false;
    if (request.width <= 0 || request.height <= 0 || colour.size() != 6 ||
        colour.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        return false;
    request.colour = static_cast<uint32_t>(std::stoul(colour, nullptr, 16));
    return true;
}

class Application {
public:
    explicit Application(Connection connection)
        : connection_(std::move(connection)),
          screen_(xcb_setup_roots_iterator(xcb_get_setup(connection_.get())).data),
          netWmPid_(atom(connection_.get(), "_NET_WM_PID")),
          netWmName_(atom(connection_.get(), "_NET_WM_NAME")),
          utf8String_(atom(connection_.get(), "UTF8_STRING")) {}

    // The id of the new window once it is shown, or 0 when the server never exposed it.
    uint32_t open(const WindowRequest& request) {
        xcb_connection_t* c = connection_.get();
        const xcb_window_t window = xcb_generate_id(c);
        // The server paints the background itself on every exposure, so the colour is there even
        // while this program sits waiting for its next command.
        const uint32_t values[] = {request.colour, XCB_EVENT_MASK_EXPOSURE};
        xcb_create_window(c, XCB_COPY_FROM_PARENT, window, screen_->root, static_cast<int16_t>(request.x),
                          static_cast<int16_t>(request.y), static_cast<uint16_t>(request.width),
                          static_cast<uint16_t>(request.height), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                          screen_->root_visual, XCB_CW_BACK_PIXEL | XCB_CW_EVENT_MASK, values);
        setProperties(window, request);
        xcb_map_window(c, window);
        xcb_flush(c);
        while (Reply<xcb_generic_event_t> event{xcb_wait_for_event(c)}) {
            if ((event->response_type & 0x7f) != XCB_EXPOSE) continue;
            const auto* expose = reinterpret_cast<const xcb_expose_event_t*>(event.get());
            if (expose->window != window) continue;
            sync(c);
            return window;
        }
        return 0;
    }

private:
    void setProperties(xcb_window_t window, const WindowRequest& request) {
        xcb_connection_t* c = connection_.get();
        const uint32_t pid = static_cast<uint32_t>(getpid());
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, netWmPid_, XCB_ATOM_CARDINAL, 32, 1, &pid);
        const std::string title = "app-windows";
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8,
                            static_cast<uint32_t>(title.size()), title.data());
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, netWmName_, utf8String_, 8,
                            static_cast<uint32_t>(title.size()), title.data());
        // WM_NORMAL_HINTS: a user-given position and a fixed size, which the window manager keeps.
        constexpr uint32_t userPosition = 1, userSize = 2, minSize = 16, maxSize = 32;
        uint32_t hints[18] = {};
        hints[0] = userPosition | userSize | minSize | maxSize;
        hints[1] = static_cast<uint32_t>(request.x);
        hints[2] = static_cast<uint32_t>(request.y);
        hints[3] = hints[5] = hints[7] = static_cast<uint32_t>(request.width);
        hints[4] = hints[6] = hints[8] = static_cast<uint32_t>(request.height);
        xcb_change_property(c, XCB_PROP_MODE_REPLACE, window, XCB_ATOM_WM_NORMAL_HINTS, XCB_ATOM_WM_SIZE_HINTS, 32,
                            18, hints);
    }

    Connection connection_;
    const xcb_screen_t* screen_;
    xcb_atom_t netWmPid_, netWmName_, utf8String_;
};

}  // namespace

int main() {
    Connection connection(xcb_connect(nullptr, nullptr));
    if (xcb_connection_has_error(connection.get())) {
        const char* display = std::getenv("DISPLAY");
        std::cerr << "app-windows: cannot open display " << (display ? display : "(unset)") << '\n';
        return 1;
    }
    Application application(std::move(connection));
    say("CONNECTED");
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream words(line);
        std::string command;
        words >> command;
        if (command == "quit") return 0;
        WindowRequest request;
        if (command != "open" || !parseOpen(words, request)) {
            say("ERROR cannot obey: " + line);
            continue;
        }
        const uint32_t window = application.open(request);
        if (window == 0) {
            say("ERROR the display went away");
            return 1;
        }
        say("OPENED " + std::to_string(window));
    }
    return 0;
}
