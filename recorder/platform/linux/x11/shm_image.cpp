#include "recorder/platform/linux/x11/shm_image.hpp"

#include <sys/ipc.h>
#include <sys/shm.h>
#include <xcb/shm.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace recorder::linux_backend::x11 {

common::Status checkPixelLayout(const X11Connection& connection) {
    const xcb_setup_t* setup = xcb_get_setup(connection.get());
    if (setup->image_byte_order != XCB_IMAGE_ORDER_LSB_FIRST) {
        return common::Error{kErrorDomain, 10, "the X server stores pixels most significant byte first; only "
                                               "little-endian 32-bit pixels can be captured"};
    }
    xcb_screen_iterator_t screens = xcb_setup_roots_iterator(setup);
    const uint8_t depth = screens.data->root_depth;
    for (auto formats = xcb_setup_pixmap_formats_iterator(setup); formats.rem > 0; xcb_format_next(&formats)) {
        if (formats.data->depth != depth) continue;
        if (formats.data->bits_per_pixel == 32 && (depth == 24 || depth == 32)) return std::nullopt;
        return common::Error{kErrorDomain, 10,
                             "the X screen uses " + std::to_string(formats.data->bits_per_pixel) +
                                 "-bit pixels at depth " + std::to_string(depth) +
                                 "; only 32-bit pixels (depth 24) can be captured"};
    }
    return common::Error{kErrorDomain, 10, "the X server describes no pixel format for its root depth"};
}

common::Result<std::unique_ptr<ShmImage>> ShmImage::create(const X11Connection& connection, size_t capacityBytes) {
    if (!connection.extensions().shm) {
        return common::Error{kErrorDomain, 11, "the X display \"" + connection.displayName() +
                                                   "\" has no MIT-SHM extension, which screen capture needs"};
    }
    std::unique_ptr<ShmImage> image(new ShmImage(connection, capacityBytes));
    image->segmentID_ = shmget(IPC_PRIVATE, capacityBytes, IPC_CREAT | 0600);
    if (image->segmentID_ < 0) {
        return common::Error{kErrorDomain, 12, "cannot create a shared-memory segment of " +
                                                   std::to_string(capacityBytes) + " bytes: " + std::strerror(errno)};
    }
    void* address = shmat(image->segmentID_, nullptr, 0);
    if (address == reinterpret_cast<void*>(-1)) {
        return common::Error{kErrorDomain, 12, std::string("cannot map a shared-memory segment: ") + std::strerror(errno)};
    }
    image->pixels_ = static_cast<uint8_t*>(address);

    xcb_connection_t* c = connection.get();
    image->serverSegment_ = xcb_generate_id(c);
    XcbErrorPtr error(xcb_request_check(c, xcb_shm_attach_checked(c, image->serverSegment_,
                                                                  static_cast<uint32_t>(image->segmentID_), 0)));
    if (error || connection.isBroken()) {
        image->serverSegment_ = 0;
        if (connection.isBroken()) return connection.lostError();
        return common::Error{kErrorDomain, 13, "the X server cannot attach our shared memory (X error " +
                                                   std::to_string(error->error_code) +
                                                   "); it must run on this machine"};
    }
    // Once both sides are attached, marking the segment for removal makes the kernel free it
    // when the last of them detaches, even if this process dies.
    shmctl(image->segmentID_, IPC_RMID, nullptr);
    return image;
}

ShmImage::~ShmImage() {
    if (serverSegment_ != 0 && !connection_.isBroken()) {
        xcb_shm_detach(connection_.get(), serverSegment_);
        xcb_flush(connection_.get());
    }
    if (pixels_) shmdt(pixels_);
    if (segmentID_ >= 0) shmctl(segmentID_, IPC_RMID, nullptr);
}

ShmImage::GrabResult ShmImage::grab(const PixelRect& rect) {
    if (rect.isEmpty() || static_cast<size_t>(rect.width) * rect.height * 4 > capacity_) return GrabResult::failed;
    xcb_connection_t* c = connection_.get();
    XcbErrorPtr error;
    auto reply = takeReply<xcb_shm_get_image_reply_t>(
        c,
        xcb_shm_get_image(c, connection_.root(), static_cast<int16_t>(rect.x), static_cast<int16_t>(rect.y),
                          static_cast<uint16_t>(rect.width), static_cast<uint16_t>(rect.height), ~0u,
                          XCB_IMAGE_FORMAT_Z_PIXMAP, serverSegment_, 0),
        xcb_shm_get_image_reply, &error);
    if (reply) return GrabResult::grabbed;
    return connection_.isBroken() ? GrabResult::connectionLost : GrabResult::failed;
}

ShmImage::GrabResult ShmImage::grabBlocks(const PixelRect& origin, const std::vector<PixelRect>& blocks,
                                          std::vector<size_t>& offsets) {
    offsets.clear();
    size_t next = 0;
    for (const PixelRect& block : blocks) {
        if (block.isEmpty()) return GrabResult::failed;
        offsets.push_back(next);
        // Each block starts on a cache line, which keeps the row converters on aligned loads.
        next += (static_cast<size_t>(block.width) * block.height * 4 + 63) & ~size_t{63};
    }
    if (next > capacity_) return GrabResult::failed;
    xcb_connection_t* c = connection_.get();
    std::vector<xcb_shm_get_image_cookie_t> cookies;
    cookies.reserve(blocks.size());
    for (size_t i = 0; i < blocks.size(); ++i) {
        const PixelRect& block = blocks[i];
        cookies.push_back(xcb_shm_get_image(c, connection_.root(), static_cast<int16_t>(origin.x + block.x),
                                            static_cast<int16_t>(origin.y + block.y),
                                            static_cast<uint16_t>(block.width), static_cast<uint16_t>(block.height),
                                            ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP, serverSegment_,
                                            static_cast<uint32_t>(offsets[i])));
    }
    // Every reply is collected, even after a failure, so none is left queued on the connection.
    bool grabbed = true;
    for (const auto& cookie : cookies) {
        XcbErrorPtr error;
        auto reply = takeReply<xcb_shm_get_image_reply_t>(c, cookie, xcb_shm_get_image_reply, &error);
        if (!reply) grabbed = false;
    }
    if (grabbed) return GrabResult::grabbed;
    return connection_.isBroken() ? GrabResult::connectionLost : GrabResult::failed;
}

}  // namespace recorder::linux_backend::x11
