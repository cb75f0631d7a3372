// test-window: a top-level window of an exact client size for tests on a test desktop.
//
//   test-window [--width W] [--height H] [--x X] [--y Y] [--color RRGGBB | --pattern quadrants] [--title T]
//
// Prints "READY <decimal window id>" once the window is mapped and painted. Then obeys lines on
// standard input, printing "OK" once each is applied and on the server:
//   cursor NAME    shows the named cursor of the current Xcursor theme over the window
//   color RRGGBB   fills the window with one colour
//   quit           ends the program (also at end of input, or when the window manager closes the window)
// A line that cannot be applied prints "ERROR <why>" instead.
//
// The client area is exactly W x H. --x/--y place the window manager's frame: under openbox the
// client area then starts at (X + 1, Y + 20). Ask xwininfo for the exact position.
//
// The quadrants pattern paints four colours that survive chroma subsampling, so a test can tell
// whether a recorded picture is upright and unmirrored: top left red, top right green, bottom left
// blue, bottom right yellow.

#include <X11/Xatom.h>
#include <X11/Xcursor/Xcursor.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <optional>
#include <string>

namespace {

constexpr unsigned long quadrantColours[4] = {0xFF0000, 0x00FF00, 0x0000FF, 0xFFFF00};

struct Options {
    int width = 400, height = 300, x = 100, y = 100;
    unsigned long colour = 0x3070C0;
    bool quadrants = false;
    std::string title = "test-window";
};

std::optional<unsigned long> parseColour(const std::string& text) {
    if (text.size() != 6 || text.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) return std::nullopt;
    return std::stoul(text, nullptr, 16);
}

[[noreturn]] void usage(const std::string& problem) {
    std::cerr << "test-window: " << problem
              << "\nusage: test-window [--width W] [--height H] [--x X] [--y Y] [--color RRGGBB | --pattern quadrants]"
                 " [--title T]\n";
    std::exit(2);
}

Options parseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        if (i + 1 >= argc) usage("missing value after " + name);
        std::string value = argv[++i];
        try {
            if (name == "--width") options.width = std::stoi(value);
            else if (name == "--height") options.height = std::stoi(value);
            else if (name == "--x") options.x = std::stoi(value);
            else if (name == "--y") options.y = std::stoi(value);
            else if (name == "--title") options.title = value;
            else if (name == "--pattern" && value == "quadrants") options.quadrants = true;
            else if (name == "--color") {
                auto colour = parseColour(value);
                if (!colour) usage("not a colour: " + value);
                options.colour = *colour;
            } else usage("unknown option " + name + " " + value);
        } catch (const std::exception&) {
            usage("not a number: " + value);
        }
    }
    if (options.width <= 0 || options.height <= 0) usage("the size must be positive");
    return options;
}

struct DisplayCloser {
    void operator()(Display* display) const { XCloseDisplay(display); }
};

class TestWindow {
public:
    TestWindow(Display* display, const Options& options) : display_(display), options_(options) {
        int screen = DefaultScreen(display_);
        XSetWindowAttributes attributes{};
        attributes.background_pixmap = None;  // we paint everything, so no flash of another colour
        attributes.event_mask = ExposureMask | StructureNotifyMask;
        window_ = XCreateWindow(display_, RootWindow(display_, screen), options.x, options.y,
                                static_cast<unsigned>(options.width), static_cast<unsigned>(options.height), 0,
                                CopyFromParent, InputOutput, CopyFromParent, CWBackPixmap | CWEventMask, &attributes);
        gc_ = XCreateGC(display_, window_, 0, nullptr);
        setProperties();
        XMapWindow(display_, window_);
    }

    ~TestWindow() {
        if (cursor_) XFreeCursor(display_, cursor_);
        XFreeGC(display_, gc_);
        XDestroyWindow(display_, window_);
    }

    Window id() const { return window_; }

    void paint() {
        auto fill = [&](unsigned long colour, int x, int y, int w, int h) {
            XSetForeground(display_, gc_, colour);
            XFillRectangle(display_, window_, gc_, x, y, static_cast<unsigned>(w), static_cast<unsigned>(h));
        };
        if (options_.quadrants) {
            int halfW = options_.width / 2, halfH = options_.height / 2;
            fill(quadrantColours[0], 0, 0, halfW, halfH);
            fill(quadrantColours[1], halfW, 0, options_.width - halfW, halfH);
            fill(quadrantColours[2], 0, halfH, halfW, options_.height - halfH);
            fill(quadrantColours[3], halfW, halfH, options_.width - halfW, options_.height - halfH);
        } else {
            fill(options_.colour, 0, 0, options_.width, options_.height);
        }
    }

    void setColour(unsigned long colour) {
        options_.colour = colour;
        options_.quadrants = false;
        paint();
    }

    bool setCursor(const std::string& name) {
        // The theme and size come from XCURSOR_THEME / XCURSOR_SIZE or the X resources, as for any client.
        Cursor cursor = XcursorLibraryLoadCursor(display_, name.c_str());
        if (!cursor) return false;
        XDefineCursor(display_, window_, cursor);
        if (cursor_) XFreeCursor(display_, cursor_);
        cursor_ = cursor;
        return true;
    }

    bool isCloseRequest(const XEvent& event) const {
        return event.type == ClientMessage && event.xclient.message_type == wmProtocols_ &&
               static_cast<Atom>(event.xclient.data.l[0]) == wmDeleteWindow_;
    }

private:
    void setProperties() {
        XSizeHints hints{};
        // A fixed size and a user-given position: the window manager keeps both.
        hints.flags = USPosition | USSize | PMinSize | PMaxSize;
        hints.x = options_.x;
        hints.y = options_.y;
        hints.width = hints.min_width = hints.max_width = options_.width;
        hints.height = hints.min_height = hints.max_height = options_.height;
        XSetWMNormalHints(display_, window_, &hints);

        XStoreName(display_, window_, options_.title.c_str());
        Atom utf8 = XInternAtom(display_, "UTF8_STRING", False);
        XChangeProperty(display_, window_, XInternAtom(display_, "_NET_WM_NAME", False), utf8, 8, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(options_.title.data()),
                        static_cast<int>(options_.title.size()));

        // _NET_WM_PID is what makes this window count as an application's.
        long pid = static_cast<long>(getpid());
        XChangeProperty(display_, window_, XInternAtom(display_, "_NET_WM_PID", False), XA_CARDINAL, 32,
                        PropModeReplace, reinterpret_cast<const unsigned char*>(&pid), 1);
        char host[256] = {};
        gethostname(host, sizeof host - 1);
        XChangeProperty(display_, window_, XA_WM_CLIENT_MACHINE, XA_STRING, 8, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(host), static_cast<int>(std::strlen(host)));

        XClassHint classHint{const_cast<char*>("test-window"), const_cast<char*>("TestWindow")};
        XSetClassHint(display_, window_, &classHint);

        wmProtocols_ = XInternAtom(display_, "WM_PROTOCOLS", False);
        wmDeleteWindow_ = XInternAtom(display_, "WM_DELETE_WINDOW", False);
        XSetWMProtocols(display_, window_, &wmDeleteWindow_, 1);
    }

    Display* display_;
    Options options_;
    Window window_ = 0;
    GC gc_ = nullptr;
    Cursor cursor_ = 0;
    Atom wmProtocols_ = 0, wmDeleteWindow_ = 0;
};

void say(const std::string& line) {
    std::cout << line << '\n' << std::flush;
}

// Standard input split into lines, read without blocking the event loop.
class StdinLines {
public:
    // False at end of input.
    bool readAvailable() {
        char buffer[1024];
        ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
        if (n <= 0) return false;
        pending_.append(buffer, static_cast<size_t>(n));
        return true;
    }
    std::optional<std::string> next() {
        auto end = pending_.find('\n');
        if (end == std::string::npos) return std::nullopt;
        std::string line = pending_.substr(0, end);
        pending_.erase(0, end + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        return line;
    }

private:
    std::string pending_;
};

enum class Outcome { keepGoing, quit };

Outcome obey(Display* display, TestWindow& window, const std::string& line) {
    auto space = line.find(' ');
    std::string command = line.substr(0, space);
    std::string argument = space == std::string::npos ? std::string() : line.substr(space + 1);
    if (command == "quit") {
        say("OK");
        return Outcome::quit;
    }
    if (command == "cursor") {
        if (!window.setCursor(argument)) {
            say("ERROR no cursor named " + argument);
            return Outcome::keepGoing;
        }
    } else if (command == "color") {
        auto colour = parseColour(argument);
        if (!colour) {
            say("ERROR not a colour: " + argument);
            return Outcome::keepGoing;
        }
        window.setColour(*colour);
    } else {
        say("ERROR unknown command: " + line);
        return Outcome::keepGoing;
    }
    // Only once the server has carried the change out may a test look at the screen.
    XSync(display, False);
    say("OK");
    return Outcome::keepGoing;
}

}  // namespace

constexpr int kRemapAfterMs = 500;

int main(int argc, char** argv) {
    Options options = parseOptions(argc, argv);
    std::unique_ptr<Display, DisplayCloser> display(XOpenDisplay(nullptr));
    if (!display) {
        std::cerr << "test-window: cannot open display " << (std::getenv("DISPLAY") ? std::getenv("DISPLAY") : "(unset)")
                  << '\n';
        return 1;
    }
    TestWindow window(display.get(), options);
    XFlush(display.get());

    bool ready = false;
    StdinLines input;
    for (;;) {
        while (XPending(display.get())) {
            XEvent event;
            XNextEvent(display.get(), &event);
            if (event.type == Expose && event.xexpose.count == 0) {
                window.paint();
                if (!ready) {
                    XSync(display.get(), False);
                    ready = true;
                    say("READY " + std::to_string(window.id()));
                }
            } else if (window.isCloseRequest(event)) {
                return 0;
            }
        }
        XFlush(display.get());
        // Commands only once READY was printed: tests send them after that line anyway.
        pollfd fds[2] = {{ConnectionNumber(display.get()), POLLIN, 0}, {ready ? STDIN_FILENO : -1, POLLIN, 0}};
        const int polled = poll(fds, 2, ready ? -1 : kRemapAfterMs);
        if (polled < 0) continue;
        if (polled == 0) {
            // A window manager that is still starting can drop a map request; ask again.
            XWindowAttributes attributes;
            if (XGetWindowAttributes(display.get(), window.id(), &attributes) && attributes.map_state == IsUnmapped) {
                XMapWindow(display.get(), window.id());
            }
            continue;
        }
        if (fds[0].revents & (POLLERR | POLLHUP)) return 1;  // the X server went away
        if (fds[1].revents) {
            if (!input.readAvailable()) return 0;
            while (auto line = input.next())
                if (obey(display.get(), window, *line) == Outcome::quit) return 0;
        }
    }
}
