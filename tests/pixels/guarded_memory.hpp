#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "recorder/platform/pixel_buffer.hpp"

namespace pixels_test {

// Memory with an inaccessible page right before and right after it, so that any read or write
// past either end faults at once, also inside libraries that the address sanitizer does not see.
class GuardedMemory {
public:
    enum class Flush { start, end };  // which end of the block touches its guard page

    GuardedMemory(size_t bytes, Flush flush);
    ~GuardedMemory();
    GuardedMemory(const GuardedMemory&) = delete;
    GuardedMemory& operator=(const GuardedMemory&) = delete;

    uint8_t* data() const { return data_; }
    size_t size() const { return bytes_; }

private:
    uint8_t* mapping_ = nullptr;
    size_t mappingBytes_ = 0;
    uint8_t* data_ = nullptr;
    size_t bytes_ = 0;
};

// A tightly packed 'BGRA' buffer in guarded memory.
std::shared_ptr<recorder::platform::PixelBuffer> makeGuardedBGRA(int width, int height, GuardedMemory::Flush flush);

}  // namespace pixels_test
