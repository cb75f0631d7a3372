// scrolling-picture: a window whose every pixel changes 60 times a second, for measuring a recorder on
// the worst case of a desktop (a full-screen video or a fast scroll).
//
//   scrolling-picture [--width W] [--height H]
//
// A busy pattern twice the window's width is drawn once into a pixmap; each frame copies the window's
// width of it, a few pixels further along, so the picture scrolls sideways. The copy is done by the X
// server, which keeps this program's own cost small. Prints "READY <window id>" after the first frame
// and ends at end of standard input.

#include <xcb/xcb.h>

#include <poll.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <string>

namespace {

constexpr int64_t frameIntervalNs = 1'000'000'000 / 60;
constexpr int stepPixels = 7;

struct Freer {
    void operator()(void* p) const { std::free(p); }
};
struct ConnectionCloser {
    void operator()(xcb_connection_t* c) const { xcb_disconnect(c); }
};

int64_t monotonicNs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t{now.tv_sec} * 1'000'000'000 + now.tv_nsec;
}

// Rectangles of many sizes and colours, like a screen full of text and pictures. Deterministic, so
// every run shows the same pattern.
void drawPattern(xcb_connection_t* c, xcb_pixmap_t pixmap, xcb_gcontext_t gc, int width, int height) {
    uint32_t state = 12345;
    auto next = [&state] {
        state = state * 1664525u + 1013904223u;
        return state >> 8;
    };
    for (int i = 0; i < 6000; ++i) {
        uint32_t colour = next() & 0xFFFFFF;
        xcb_change_gc(c, gc, XCB_GC_FOREGROUND, &colour);
        xcb_rectangle_t r{static_cast<int16_t>(next() % static_cast<uint32_t>(width)),
                          static_cast<int16_t>(next() % static_cast<uint32_t>(height)),
                          static_cast<uint16_t>(4 + next() % 120), static_cast<uint16_t>(4 + next() % 60)};
        xcb_poly_fill_rectangle(c, pixmap, gc, 1, &r);
    }
}

}  // namespace

int main(int argc, char** argv) {
    int width = 1920, height = 1080;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string name = argv[i];
        if (name == "--width") width = std::atoi(argv[i + 1]);
        else if (name == "--height") height = std::atoi(argv[i + 1]);
        else {
            std::cerr << "usage: scrolling-picture [--width W] [--height H]\n";
            return 2;
        }
    }
    std::unique_ptr<xcb_connection_t, ConnectionCloser> connection(xcb_connect(nullptr, nullptr));
    xcb_connection_t* c = connection.get();
    if (xcb_connection_has_error(c)) {
        std::cerr << "scrolling-picture: cannot open the display\n";
        return 1;
    }
    xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    xcb_window_t window = xcb_generate_id(c);
    uint32_t values[] = {1, XCB_EVENT_MASK_EXPOSURE};  // override-redirect: exactly where asked, no frame
    xcb_create_window(c, XCB_COPY_FROM_PARENT, window, screen->root, 0, 0, static_cast<uint16_t>(width),
                      static_cast<uint16_t>(height), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual,
                      XCB_CW_OVERRIDE_REDIRECT | XCB_CW_EVENT_MASK, values);
    xcb_pixmap_t pattern = xcb_generate_id(c);
    xcb_create_pixmap(c, screen->root_depth, pattern, window, static_cast<uint16_t>(2 * width),
                      static_cast<uint16_t>(height));
    xcb_gcontext_t gc = xcb_generate_id(c);
    xcb_create_gc(c, gc, pattern, 0, nullptr);
    drawPattern(c, pattern, gc, 2 * width, height);
    xcb_map_window(c, window);
    xcb_flush(c);

    bool exposed = false, ready = false;
    uint32_t frame = 0;
    int64_t nextFrameAt = monotonicNs();
    for (;;) {
        while (std::unique_ptr<xcb_generic_event_t, Freer> event{xcb_poll_for_event(c)})
            if ((event->response_type & 0x7f) == XCB_EXPOSE) exposed = true;
        if (xcb_connection_has_error(c)) return 1;
        int64_t now = monotonicNs();
        if (exposed && now >= nextFrameAt) {
            int offset = static_cast<int>((static_cast<int64_t>(frame++) * stepPixels) % width);
            xcb_copy_area(c, pattern, window, gc, static_cast<int16_t>(offset), 0, 0, 0, static_cast<uint16_t>(width),
                          static_cast<uint16_t>(height));
            // Wait for the server to have drawn it, so frames never pile up there.
            std::free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
            if (!ready) {
                ready = true;
                std::cout << "READY " << window << '\n' << std::flush;
            }
            nextFrameAt += frameIntervalNs;
            if (nextFrameAt < now) nextFrameAt = now + frameIntervalNs;
            now = monotonicNs();
        }
        int waitMs = exposed ? static_cast<int>(std::max<int64_t>(0, (nextFrameAt - now + 999'999) / 1'000'000)) : -1;
        pollfd fds[2] = {{xcb_get_file_descriptor(c), POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
        if (poll(fds, 2, waitMs) < 0) continue;
        if (fds[1].revents) {
            char buffer[256];
            if (read(STDIN_FILENO, buffer, sizeof buffer) <= 0) return 0;
        }
    }
}
