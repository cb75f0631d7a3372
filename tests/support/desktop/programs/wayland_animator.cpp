// wayland-animator: a full-screen Wayland window (wl_shm + xdg-shell) for recording tests.
//
//   wayland-animator            repaints its whole surface on every frame the compositor asks for,
//                               with a picture that moves, so every frame differs everywhere
//   wayland-animator --still    shows one flat colour and paints the next one only when a line
//                               arrives on standard input (a new frame on an otherwise still screen)
//   --window WxH                a window of that size instead of a full-screen one
//
// Prints "READY" once the compositor has shown its first picture and, in --still mode, "PAINTED <rgb>"
// (hex) once each new colour is on screen. Ends on "quit" or at end of standard input.

#include "xdg-shell-client-protocol.h"

#include <wayland-client.h>

#include <poll.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <string>
#include <utility>

namespace {

// The colours --still cycles through: far apart, so a test can tell which one a recording shows.
constexpr std::array<uint32_t, 4> stillColours{0x3070C0, 0xE0A020, 0x30B050, 0xC03040};

template <typename T, void (*Destroy)(T*)>
struct Deleter {
    void operator()(T* object) const {
        if (object) Destroy(object);
    }
};
template <typename T, void (*Destroy)(T*)>
using Owned = std::unique_ptr<T, Deleter<T, Destroy>>;

// A shared-memory buffer the compositor reads from while it is busy.
class ShmBuffer {
public:
    ShmBuffer(wl_shm* shm, int width, int height) : width_(width), height_(height), bytes_(size_t(width) * height * 4) {
        const int fd = memfd_create("wayland-animator", MFD_CLOEXEC);
        if (fd < 0 || ftruncate(fd, static_cast<off_t>(bytes_)) != 0) fail("cannot create a shared-memory buffer");
        void* mapped = mmap(nullptr, bytes_, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (mapped == MAP_FAILED) fail("cannot map a shared-memory buffer");
        pixels_ = static_cast<uint32_t*>(mapped);
        Owned<wl_shm_pool, wl_shm_pool_destroy> pool(wl_shm_create_pool(shm, fd, static_cast<int32_t>(bytes_)));
        buffer_.reset(wl_shm_pool_create_buffer(pool.get(), 0, width, height, width * 4, WL_SHM_FORMAT_XRGB8888));
        close(fd);
        wl_buffer_add_listener(buffer_.get(), &listener, this);
    }
    ~ShmBuffer() { munmap(pixels_, bytes_); }
    ShmBuffer(const ShmBuffer&) = delete;
    ShmBuffer& operator=(const ShmBuffer&) = delete;

    bool busy() const { return busy_; }
    bool fits(int width, int height) const { return width == width_ && height == height_; }
    uint32_t* pixels() { return pixels_; }
    wl_buffer* attachable() {
        busy_ = true;
        return buffer_.get();
    }

    [[noreturn]] static void fail(const char* what) {
        std::perror(what);
        std::exit(1);
    }

private:
    static void released(void* data, wl_buffer*) { static_cast<ShmBuffer*>(data)->busy_ = false; }
    static constexpr wl_buffer_listener listener{released};

    int width_, height_;
    size_t bytes_;
    uint32_t* pixels_ = nullptr;
    bool busy_ = false;
    Owned<wl_buffer, wl_buffer_destroy> buffer_;
};

class Animator {
public:
    // `width` and `height` 0: full screen.
    Animator(wl_display* display, bool still, int width, int height)
        : display_(display), still_(still), fixedSize_(width > 0 && height > 0) {
        if (fixedSize_) {
            width_ = width;
            height_ = height;
        }
        Owned<wl_registry, wl_registry_destroy> registry(wl_display_get_registry(display_));
        wl_registry_add_listener(registry.get(), &registryListener, this);
        wl_display_roundtrip(display_);
        if (!compositor_ || !shm_ || !wmBase_) {
            std::cerr << "wayland-animator: the compositor lacks wl_compositor, wl_shm or xdg_wm_base\n";
            std::exit(1);
        }
        xdg_wm_base_add_listener(wmBase_.get(), &wmBaseListener, this);
        surface_.reset(wl_compositor_create_surface(compositor_.get()));
        xdgSurface_.reset(xdg_wm_base_get_xdg_surface(wmBase_.get(), surface_.get()));
        xdg_surface_add_listener(xdgSurface_.get(), &xdgSurfaceListener, this);
        toplevel_.reset(xdg_surface_get_toplevel(xdgSurface_.get()));
        xdg_toplevel_add_listener(toplevel_.get(), &toplevelListener, this);
        xdg_toplevel_set_title(toplevel_.get(), "wayland-animator");
        if (fixedSize_) {
            xdg_toplevel_set_min_size(toplevel_.get(), width_, height_);
            xdg_toplevel_set_max_size(toplevel_.get(), width_, height_);
        } else {
            xdg_toplevel_set_fullscreen(toplevel_.get(), nullptr);
        }
        wl_surface_commit(surface_.get());
    }

    // The next colour of --still mode.
    void nextStill() {
        ++step_;
        announcePainted_ = true;
        paint();
    }

private:
    ShmBuffer* freeBuffer() {
        for (auto& buffer : buffers_) {
            if (buffer && buffer->busy()) continue;
            if (!buffer || !buffer->fits(width_, height_)) buffer = std::make_unique<ShmBuffer>(shm_.get(), width_, height_);
            return buffer.get();
        }
        return nullptr;
    }

    void paint() {
        auto* buffer = freeBuffer();
        if (!still_ || !frameCallback_) requestFrame();
        if (!buffer) {  // all buffers still with the compositor: try again on the next frame
            wl_surface_commit(surface_.get());
            return;
        }
        uint32_t* pixels = buffer->pixels();
        if (still_) {
            std::fill(pixels, pixels + size_t(width_) * height_, stillColours[step_ % stillColours.size()]);
        } else {
            // Diagonal bands that move every frame: each pixel changes, yet the picture stays smooth
            // enough that encoding it costs no more than ordinary screen content.
            const uint32_t t = static_cast<uint32_t>(step_++) * 3;
            for (int y = 0; y < height_; ++y)
                for (int x = 0; x < width_; ++x)
                    pixels[size_t(y) * width_ + x] = ((x + t) & 0xFF) << 16 | ((y + 2 * t) & 0xFF) << 8 | 0x40;
        }
        wl_surface_attach(surface_.get(), buffer->attachable(), 0, 0);
        wl_surface_damage_buffer(surface_.get(), 0, 0, width_, height_);
        wl_surface_commit(surface_.get());
    }

    void requestFrame() {
        frameCallback_.reset(wl_surface_frame(surface_.get()));
        wl_callback_add_listener(frameCallback_.get(), &frameListener, this);
    }

    // The compositor has shown what was committed last.
    void frameShown() {
        frameCallback_.reset();
        if (!readyAnnounced_) {
            readyAnnounced_ = true;
            std::cout << "READY" << std::endl;
        }
        if (announcePainted_) {
            announcePainted_ = false;
            char colour[8];
            std::snprintf(colour, sizeof colour, "%06X", stillColours[step_ % stillColours.size()]);
            std::cout << "PAINTED " << colour << std::endl;
        }
        if (!still_) paint();
    }

    static void global(void* data, wl_registry* registry, uint32_t name, const char* interface, uint32_t) {
        auto* self = static_cast<Animator*>(data);
        if (std::strcmp(interface, wl_compositor_interface.name) == 0)
            self->compositor_.reset(static_cast<wl_compositor*>(wl_registry_bind(registry, name, &wl_compositor_interface, 4)));
        else if (std::strcmp(interface, wl_shm_interface.name) == 0)
            self->shm_.reset(static_cast<wl_shm*>(wl_registry_bind(registry, name, &wl_shm_interface, 1)));
        else if (std::strcmp(interface, xdg_wm_base_interface.name) == 0)
            self->wmBase_.reset(static_cast<xdg_wm_base*>(wl_registry_bind(registry, name, &xdg_wm_base_interface, 1)));
    }
    static void globalRemoved(void*, wl_registry*, uint32_t) {}
    static void ping(void*, xdg_wm_base* base, uint32_t serial) { xdg_wm_base_pong(base, serial); }
    static void configure(void* data, xdg_surface* surface, uint32_t serial) {
        auto* self = static_cast<Animator*>(data);
        xdg_surface_ack_configure(surface, serial);
        // The first configure starts the picture and a new size needs one; any other is only
        // acknowledged, so a still picture sends the compositor no damage of its own accord.
        if (self->painted_ != std::make_pair(self->width_, self->height_)) {
            self->painted_ = {self->width_, self->height_};
            self->paint();
        } else {
            wl_surface_commit(self->surface_.get());
        }
    }
    static void toplevelConfigure(void* data, xdg_toplevel*, int32_t width, int32_t height, wl_array*) {
        auto* self = static_cast<Animator*>(data);
        if (width > 0 && height > 0 && !self->fixedSize_) {
            self->width_ = width;
            self->height_ = height;
        }
    }
    static void close(void*, xdg_toplevel*) { std::exit(0); }
    static void bounds(void*, xdg_toplevel*, int32_t, int32_t) {}
    static void capabilities(void*, xdg_toplevel*, wl_array*) {}
    static void done(void* data, wl_callback*, uint32_t) { static_cast<Animator*>(data)->frameShown(); }

    static constexpr wl_registry_listener registryListener{global, globalRemoved};
    static constexpr xdg_wm_base_listener wmBaseListener{ping};
    static constexpr xdg_surface_listener xdgSurfaceListener{configure};
    static constexpr xdg_toplevel_listener toplevelListener{toplevelConfigure, close, bounds, capabilities};
    static constexpr wl_callback_listener frameListener{done};

    wl_display* display_;
    bool still_;
    bool fixedSize_;
    int width_ = 640, height_ = 480;
    std::pair<int, int> painted_{0, 0};  // the size of the last picture a configure asked for
    unsigned step_ = 0;
    bool readyAnnounced_ = false, announcePainted_ = false;
    Owned<wl_compositor, wl_compositor_destroy> compositor_;
    Owned<wl_shm, wl_shm_destroy> shm_;
    Owned<xdg_wm_base, xdg_wm_base_destroy> wmBase_;
    Owned<wl_surface, wl_surface_destroy> surface_;
    Owned<xdg_surface, xdg_surface_destroy> xdgSurface_;
    Owned<xdg_toplevel, xdg_toplevel_destroy> toplevel_;
    Owned<wl_callback, wl_callback_destroy> frameCallback_;
    std::array<std::unique_ptr<ShmBuffer>, 3> buffers_;
};

// Reads what standard input has; false at its end or on "quit". Counts the complete lines read.
bool readInput(std::string& pending, int& lines) {
    char data[256];
    const ssize_t n = read(STDIN_FILENO, data, sizeof data);
    if (n <= 0) return false;
    pending.append(data, static_cast<size_t>(n));
    for (auto end = pending.find('\n'); end != std::string::npos; end = pending.find('\n')) {
        const std::string line = pending.substr(0, end);
        pending.erase(0, end + 1);
        if (line == "quit") return false;
        ++lines;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    bool still = false;
    int width = 0, height = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--still") {
            still = true;
        } else if (option == "--window" && i + 1 < argc && std::sscanf(argv[i + 1], "%dx%d", &width, &height) == 2 &&
                   width > 0 && height > 0) {
            ++i;
        } else {
            std::cerr << "usage: wayland-animator [--still] [--window WxH]\n";
            return 2;
        }
    }
    Owned<wl_display, wl_display_disconnect> display(wl_display_connect(nullptr));
    if (!display) {
        std::cerr << "wayland-animator: cannot connect to the Wayland display\n";
        return 1;
    }
    Animator animator(display.get(), still, width, height);
    std::string pending;
    for (;;) {
        while (wl_display_prepare_read(display.get()) != 0) wl_display_dispatch_pending(display.get());
        wl_display_flush(display.get());
        pollfd fds[2] = {{wl_display_get_fd(display.get()), POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            wl_display_cancel_read(display.get());
            continue;
        }
        if (fds[0].revents & POLLIN) {
            if (wl_display_read_events(display.get()) != 0) return 1;
        } else {
            wl_display_cancel_read(display.get());
        }
        if (fds[0].revents & (POLLERR | POLLHUP)) return 1;
        if (wl_display_dispatch_pending(display.get()) < 0) return 1;
        if (fds[1].revents & (POLLIN | POLLHUP)) {
            int lines = 0;
            const bool open = readInput(pending, lines);
            for (int i = 0; i < lines && still; ++i) animator.nextStill();
            if (!open) return 0;
        }
    }
}
