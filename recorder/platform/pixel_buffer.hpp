#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

#include "common/error.hpp"

namespace recorder::platform {

// Four-character pixel format codes, as the capture and writer services name them.
inline constexpr uint32_t kPixelFormat420v = 875704438;   // '420v': NV12, video range
inline constexpr uint32_t kPixelFormatBGRA = 1111970369;  // 'BGRA': 8-bit B, G, R, A; first row at the top

// An image in memory. Planes are laid out top row first. The buffer does not own its memory
// directly: `storage` keeps whatever holds the pixels alive (a heap block, a shared-memory
// segment, a pool slot) for as long as any holder of the buffer needs them.
class PixelBuffer {
public:
    struct Plane {
        uint8_t* data = nullptr;
        int stride = 0;  // bytes from one row to the next
        int width = 0;   // in samples of this plane
        int height = 0;  // in rows of this plane
    };

    PixelBuffer(uint32_t pixelFormat, int width, int height, std::vector<Plane> planes,
                std::shared_ptr<void> storage);

    // A buffer with its own heap memory, tightly packed.
    static std::shared_ptr<PixelBuffer> allocate(uint32_t pixelFormat, int width, int height);
    // The bytes of pixels such a buffer holds (its planes, without the padding after them).
    static size_t byteCount(uint32_t pixelFormat, int width, int height);

    uint32_t pixelFormat() const { return pixelFormat_; }
    int width() const { return width_; }
    int height() const { return height_; }
    size_t planeCount() const { return planes_.size(); }
    const Plane& plane(size_t index) const { return planes_.at(index); }

private:
    uint32_t pixelFormat_;
    int width_;
    int height_;
    std::vector<Plane> planes_;
    std::shared_ptr<void> storage_;
};

// Recycles buffers of one format and size. A buffer goes back to the pool when its last holder
// releases it, so a pool of N buffers bounds the frames in flight to N when `maximumBuffers` is set.
class PixelBufferPool : public std::enable_shared_from_this<PixelBufferPool> {
public:
    static std::shared_ptr<PixelBufferPool> make(uint32_t pixelFormat, int width, int height,
                                                 size_t maximumBuffers = 0 /* no limit */);

    uint32_t pixelFormat() const { return pixelFormat_; }
    int width() const { return width_; }
    int height() const { return height_; }

    // A free buffer, or an error when `maximumBuffers` are all in use.
    common::Result<std::shared_ptr<PixelBuffer>> createPixelBuffer();

private:
    PixelBufferPool(uint32_t pixelFormat, int width, int height, size_t maximumBuffers);
    void recycle(std::shared_ptr<PixelBuffer> buffer);

    uint32_t pixelFormat_;
    int width_;
    int height_;
    size_t maximumBuffers_;
    std::mutex mutex_;
    std::vector<std::shared_ptr<PixelBuffer>> free_;
    size_t outstanding_ = 0;
};

// Pixels of the frames between a capture and the encoder, on every backend. The encoder copies
// each frame in as it takes it, so more frames in flight only ride out a late encode; at 3840x2160
// the encoder is late every frame, and six frames there held 75 MB only to be captured, converted
// and then dropped at the full writer queue. Two frames at 3840x2160 gave about as many frames per
// second or more, for less CPU per frame (and half the X server's). The budget keeps every pool up to 2560x1440 as
// deep as the stream asks (at 1920x1080, three frames instead of six lost frames on a busy machine).
inline constexpr size_t kFramesInFlightBytes = 32 * 1024 * 1024;

// How many frames a capture stream may keep in flight: its queue depth, cut down so that the
// frames' pixels fit in `budgetBytes`, but never fewer than two, one being filled while the
// other waits for or goes through the encoder.
size_t framesInFlight(size_t queueDepth, size_t frameBytes, size_t budgetBytes = kFramesInFlightBytes);

}  // namespace recorder::platform
