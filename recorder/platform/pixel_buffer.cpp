#include "recorder/platform/pixel_buffer.hpp"

#include <algorithm>
#include <cstdlib>

namespace recorder::platform {

PixelBuffer::PixelBuffer(uint32_t pixelFormat, int width, int height, std::vector<Plane> planes,
                         std::shared_ptr<void> storage)
    : pixelFormat_(pixelFormat), width_(width), height_(height), planes_(std::move(planes)),
      storage_(std::move(storage)) {}

namespace {

std::vector<PixelBuffer::Plane> packedPlanes(uint32_t pixelFormat, int width, int height) {
    if (pixelFormat == kPixelFormat420v) {
        const int chromaWidth = (width + 1) / 2;
        const int chromaHeight = (height + 1) / 2;
        return {PixelBuffer::Plane{nullptr, width, width, height},
                PixelBuffer::Plane{nullptr, chromaWidth * 2, chromaWidth, chromaHeight}};
    }
    return {PixelBuffer::Plane{nullptr, width * 4, width, height}};
}

}  // namespace

size_t PixelBuffer::byteCount(uint32_t pixelFormat, int width, int height) {
    size_t total = 0;
    for (const auto& plane : packedPlanes(pixelFormat, width, height)) {
        total += static_cast<size_t>(plane.stride) * static_cast<size_t>(plane.height);
    }
    return total;
}

std::shared_ptr<PixelBuffer> PixelBuffer::allocate(uint32_t pixelFormat, int width, int height) {
    std::vector<Plane> planes = packedPlanes(pixelFormat, width, height);
    const size_t total = byteCount(pixelFormat, width, height);
    // 64-byte alignment suits every SIMD row converter; the extra bytes let them over-read a row.
    const size_t bytes = (total + 64 + 63) / 64 * 64;
    std::shared_ptr<uint8_t> memory(static_cast<uint8_t*>(std::aligned_alloc(64, bytes)), &std::free);
    if (!memory) return nullptr;
    uint8_t* cursor = memory.get();
    for (auto& plane : planes) {
        plane.data = cursor;
        cursor += static_cast<size_t>(plane.stride) * plane.height;
    }
    return std::make_shared<PixelBuffer>(pixelFormat, width, height, std::move(planes), std::move(memory));
}

size_t framesInFlight(size_t queueDepth, size_t frameBytes, size_t budgetBytes) {
    constexpr size_t kFewest = 2;
    const size_t fitting = frameBytes > 0 ? budgetBytes / frameBytes : queueDepth;
    return std::max(std::min(kFewest, queueDepth), std::min(queueDepth, fitting));
}

std::shared_ptr<PixelBufferPool> PixelBufferPool::make(uint32_t pixelFormat, int width, int height,
                                                       size_t maximumBuffers) {
    return std::shared_ptr<PixelBufferPool>(new PixelBufferPool(pixelFormat, width, height, maximumBuffers));
}

PixelBufferPool::PixelBufferPool(uint32_t pixelFormat, int width, int height, size_t maximumBuffers)
    : pixelFormat_(pixelFormat), width_(width), height_(height), maximumBuffers_(maximumBuffers) {}

common::Result<std::shared_ptr<PixelBuffer>> PixelBufferPool::createPixelBuffer() {
    std::shared_ptr<PixelBuffer> buffer;
    {
        std::lock_guard lock(mutex_);
        if (!free_.empty()) {
            buffer = std::move(free_.back());
            free_.pop_back();
        } else if (maximumBuffers_ != 0 && outstanding_ >= maximumBuffers_) {
            return common::Error{"PixelBufferPool", 1, "every buffer of the pool is in use"};
        }
        ++outstanding_;
    }
    if (!buffer) buffer = PixelBuffer::allocate(pixelFormat_, width_, height_);
    if (!buffer) {
        std::lock_guard lock(mutex_);
        --outstanding_;
        return common::Error{"PixelBufferPool", 2, "out of memory for a pixel buffer"};
    }
    // The handed-out pointer shares nothing with the pooled one but the pixels: when its last
    // holder lets go, the pooled buffer returns to the free list (or is freed with the pool).
    std::weak_ptr<PixelBufferPool> weakPool = weak_from_this();
    PixelBuffer* raw = buffer.get();
    return std::shared_ptr<PixelBuffer>(raw, [weakPool, buffer](PixelBuffer*) mutable {
        if (auto pool = weakPool.lock()) pool->recycle(std::move(buffer));
    });
}

void PixelBufferPool::recycle(std::shared_ptr<PixelBuffer> buffer) {
    std::lock_guard lock(mutex_);
    --outstanding_;
    free_.push_back(std::move(buffer));
}

}  // namespace recorder::platform
