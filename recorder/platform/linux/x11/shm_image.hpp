#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "common/error.hpp"
#include "recorder/platform/linux/x11/pixel_region.hpp"
#include "recorder/platform/linux/x11/x11_connection.hpp"

namespace recorder::linux_backend::x11 {

// A System V shared-memory segment attached both here and in the X server, into which the server
// writes root-window pixels without sending them over the socket.
class ShmImage {
public:
    // A segment large enough for `capacityBytes`; the server must have MIT-SHM and a 32-bit
    // little-endian pixel layout for the root's depth (what every desktop uses).
    static common::Result<std::unique_ptr<ShmImage>> create(const X11Connection& connection, size_t capacityBytes);
    ~ShmImage();
    ShmImage(const ShmImage&) = delete;
    ShmImage& operator=(const ShmImage&) = delete;

    size_t capacity() const { return capacity_; }

    enum class GrabResult { grabbed, failed, connectionLost };
    // Copies `rect` of the root into the segment as BGRX rows of rect.width * 4 bytes. A failure
    // (e.g. a rectangle off the screen) loses only this frame.
    GrabResult grab(const PixelRect& rect);

    // Copies each block (in `origin`'s coordinates) of the root into the segment, one after
    // another, each as BGRX rows of its own width * 4 bytes, starting at the returned offsets.
    // The requests go out together, so many blocks cost about one round trip.
    GrabResult grabBlocks(const PixelRect& origin, const std::vector<PixelRect>& blocks, std::vector<size_t>& offsets);

    uint8_t* pixels() const { return pixels_; }
    // The server's name of the segment, for requests that write into it.
    uint32_t segment() const { return serverSegment_; }

private:
    ShmImage(const X11Connection& connection, size_t capacity) : connection_(connection), capacity_(capacity) {}

    const X11Connection& connection_;
    size_t capacity_ = 0;
    int segmentID_ = -1;
    uint8_t* pixels_ = nullptr;
    uint32_t serverSegment_ = 0;
};

// Checks that the root's pixels are 32 bits, B G R X in memory: the layout every conversion here
// assumes. The error says what the server uses instead.
common::Status checkPixelLayout(const X11Connection& connection);

}  // namespace recorder::linux_backend::x11
