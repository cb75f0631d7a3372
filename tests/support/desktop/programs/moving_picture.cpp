// moving-picture: a window whose content changes 60 times a second, so that a recording of it has a
// new picture in every frame.
//
//   moving-picture [--width W] [--height H] [--x X] [--y Y]
//
// Every frame moves a coloured bar one step to the right (wrapping) and writes the frame number into
// a strip of 16 cells at the top left (white = 1, black = 0, most significant bit first), so a test can
// read back which frame a recorded picture shows. Prints "READY <decimal window id>" once the first
// frame is on the server; ends on "quit" or at end of standard input.
//
// Drawing is done with server-side rectangle fills: only the changed areas are touched, which keeps the
// program's own cost far below that of any recorder it is used to test.

#include <xcb/xcb.h>

#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr int64_t frameIntervalNs = 1'000'000'000 / 60;
constexpr uint32_t backgroundColour = 0x202830;
constexpr uint32_t barColour = 0xF0A020;
constexpr int counterBits = 16;
constexpr int counterCellSize = 16;
constexpr int kRemapAfterMs = 500;

struct Options {
    int width = 640, height = 360, x = 100, y = 100;
};

[[noreturn]] void usage(const std::string& problem) {
    std::cerr << "moving-picture: " << problem << "\nusage: moving-picture [--width W] [--height H] [--x X] [--y Y]\n";
    std::exit(2);
}

Options parseOptions(int argc, char** argv) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        if (i + 1 >= argc) usage("missing value after " + name);
        int value = 0;
        try {
            value = std::stoi(argv[++i]);
        } catch (const std::exception&) {
            usage("not a number: " + std::string(argv[i]));
        }
        if (name == "--width") options.width = value;
        else if (name == "--height") options.height = value;
        else if (name == "--x") options.x = value;
        else if (name == "--y") options.y = value;
        else usage("unknown option " + name);
    }
    if (options.width < counterBits * counterCellSize || options.height < 2 * counterCellSize)
        usage("the window must be at least " + std::to_string(counterBits * counterCellSize) + "x" +
              std::to_string(2 * counterCellSize));
    return options;
}

int64_t monotonicNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

struct ConnectionCloser {
    void operator()(xcb_connection_t* c) const { xcb_disconnect(c); }
};
struct Freer {
    void operator()(void* p) const { std::free(p); }
};

xcb_atom_t internAtom(xcb_connection_t* c, const char* name) {
    std::unique_ptr<xcb_intern_atom_reply_t, Freer> reply(
        xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, static_cast<uint16_t>(std::strlen(name)), name), nullptr));
    return reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
}

class MovingPicture {
public:
    MovingPicture(xcb_connection_t* c, const Options& options) : c_(c), options_(options) {
        xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c_)).data;
        window_ = xcb_generate_id(c_);
        uint32_t values[] = {backgroundColour, XCB_EVENT_MASK_EXPOSURE | XCB_EVENT_MASK_STRUCTURE_NOTIFY};
        xcb_create_window(c_, XCB_COPY_FROM_PARENT, window_, screen->root, static_cast<int16_t>(options.x),
                          static_cast<int16_t>(options.y), static_cast<uint16_t>(options.width),
                          static_cast<uint16_t>(options.height), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual,
                          XCB_CW_BACK_PIXEL | XCB_CW_EVENT_MASK, values);
        gc_ = xcb_generate_id(c_);
        xcb_create_gc(c_, gc_, window_, 0, nullptr);
        setProperties();
        xcb_map_window(c_, window_);
    }

    xcb_window_t id() const { return window_; }

    void mapAgainIfUnmapped() {
        std::unique_ptr<xcb_get_window_attributes_reply_t, Freer> attributes(
            xcb_get_window_attributes_reply(c_, xcb_get_window_attributes(c_, window_), nullptr));
        if (attributes && attributes->map_state == XCB_MAP_STATE_UNMAPPED) {
            xcb_map_window(c_, window_);
            xcb_flush(c_);
        }
    }

    // Draws frame `number`: the whole picture when `full`, else only what changed since the last one.
    void draw(uint32_t number, bool full) {
        int barWidth = std::max(8, options_.width / 10);
        int step = std::max(1, options_.width / 120);  // crosses the window in about two seconds
        int barX = static_cast<int>((static_cast<int64_t>(number) * step) % options_.width);
        int barTop = 2 * counterCellSize, barHeight = options_.height - barTop;
        if (full) {
            fill(backgroundColour, 0, 0, options_.width, options_.height);
        } else if (lastBarX_ >= 0) {
            fill(backgroundColour, lastBarX_, barTop, barWidth, barHeight);
            if (lastBarX_ + barWidth > options_.width)
                fill(backgroundColour, 0, barTop, lastBarX_ + barWidth - options_.width, barHeight);
        }
        fill(barColour, barX, barTop, barWidth, barHeight);
        if (barX + barWidth > options_.width) fill(barColour, 0, barTop, barX + barWidth - options_.width, barHeight);
        lastBarX_ = barX;

        for (int bit = 0; bit < counterBits; ++bit) {
            bool set = (number >> (counterBits - 1 - bit)) & 1u;
            fill(set ? 0xFFFFFF : 0x000000, bit * counterCellSize, 0, counterCellSize, counterCellSize);
        }
    }

    // Waits for the server to have carried out everything sent, so frames never queue up in it.
    void sync() { std::free(xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr)); }

private:
    void fill(uint32_t colour, int x, int y, int w, int h) {
        xcb_change_gc(c_, gc_, XCB_GC_FOREGROUND, &colour);
        xcb_rectangle_t rectangle{static_cast<int16_t>(x), static_cast<int16_t>(y), static_cast<uint16_t>(w),
                                  static_cast<uint16_t>(h)};
        xcb_poly_fill_rectangle(c_, window_, gc_, 1, &rectangle);
    }

    void setProperties() {
        const std::string title = "moving-picture";
        xcb_change_property(c_, XCB_PROP_MODE_REPLACE, window_, XCB_ATOM_WM_NAME, XCB_ATOM_STRING, 8,
                            static_cast<uint32_t>(title.size()), title.data());
        xcb_change_property(c_, XCB_PROP_MODE_REPLACE, window_, internAtom(c_, "_NET_WM_NAME"),
                            internAtom(c_, "UTF8_STRING"), 8, static_cast<uint32_t>(title.size()), title.data());
        // _NET_WM_PID is what makes this window count as an application's.
        uint32_t pid = static_cast<uint32_t>(getpid());
        xcb_change_property(c_, XCB_PROP_MODE_REPLACE, window_, internAtom(c_, "_NET_WM_PID"), XCB_ATOM_CARDINAL, 32,
                            1, &pid);
        // WM_NORMAL_HINTS: user position and a fixed size (flags, x, y, width, height, min, max, ...).
        std::vector<uint32_t> hints(18, 0);
        hints[0] = 1u | 2u | 16u | 32u;  // USPosition | USSize | PMinSize | PMaxSize
        hints[1] = static_cast<uint32_t>(options_.x);
        hints[2] = static_cast<uint32_t>(options_.y);
        hints[3] = hints[5] = hints[7] = static_cast<uint32_t>(options_.width);
        hints[4] = hints[6] = hints[8] = static_cast<uint32_t>(options_.height);
        xcb_change_property(c_, XCB_PROP_MODE_REPLACE, window_, XCB_ATOM_WM_NORMAL_HINTS, XCB_ATOM_WM_SIZE_HINTS, 32,
                            static_cast<uint32_t>(hints.size()), hints.data());
    }

    xcb_connection_t* c_;
    Options options_;
    xcb_window_t window_ = 0;
    xcb_gcontext_t gc_ = 0;
    int lastBarX_ = -1;
};

// True while standard input is open and has not said "quit".
bool keepRunning(std::string& pending) {
    char buffer[256];
    ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
    if (n <= 0) return false;
    pending.append(buffer, static_cast<size_t>(n));
    for (auto end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
        std::string line = pending.substr(0, end);
        pending.erase(0, end + 1);
        if (line == "quit" || line == "quit\r") return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    Options options = parseOptions(argc, argv);
    std::unique_ptr<xcb_connection_t, ConnectionCloser> connection(xcb_connect(nullptr, nullptr));
    if (xcb_connection_has_error(connection.get())) {
        std::cerr << "moving-picture: cannot open display " << (std::getenv("DISPLAY") ? std::getenv("DISPLAY") : "(unset)")
                  << '\n';
        return 1;
    }
    xcb_connection_t* c = connection.get();
    MovingPicture picture(c, options);
    xcb_flush(c);

    bool exposed = false, ready = false, needsFullDraw = true;
    uint32_t frame = 0;
    int64_t nextFrameAt = monotonicNs();
    std::string pendingInput;
    for (;;) {
        while (std::unique_ptr<xcb_generic_event_t, Freer> event{xcb_poll_for_event(c)}) {
            if ((event->response_type & 0x7f) == XCB_EXPOSE) exposed = needsFullDraw = true;
        }
        if (xcb_connection_has_error(c)) return 1;  // the X server went away

        int64_t now = monotonicNs();
        if (exposed && now >= nextFrameAt) {
            picture.draw(frame++, needsFullDraw);
            needsFullDraw = false;
            picture.sync();
            if (!ready) {
                ready = true;
                std::cout << "READY " << picture.id() << '\n' << std::flush;
            }
            // Keep the 60 Hz grid; after a stall, pick it up again instead of drawing a burst.
            nextFrameAt += frameIntervalNs;
            if (nextFrameAt < now) nextFrameAt = now + frameIntervalNs;
            now = monotonicNs();
        }
        int waitMs = exposed ? static_cast<int>(std::max<int64_t>(0, (nextFrameAt - now + 999'999) / 1'000'000))
                             : kRemapAfterMs;
        pollfd fds[2] = {{xcb_get_file_descriptor(c), POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
        const int polled = poll(fds, 2, waitMs);
        if (polled < 0) continue;
        // A window manager that is still starting can drop a map request; ask again.
        if (polled == 0 && !exposed) picture.mapAgainIfUnmapped();
        if (fds[1].revents && !keepRunning(pendingInput)) return 0;
    }
}
