#include "guarded_memory.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>
#include <string>

namespace pixels_test {

GuardedMemory::GuardedMemory(size_t bytes, Flush flush) : bytes_(bytes) {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    const size_t usable = (bytes + page - 1) / page * page;
    mappingBytes_ = usable + 2 * page;
    void* mapping = mmap(nullptr, mappingBytes_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (mapping == MAP_FAILED) throw std::runtime_error("cannot map " + std::to_string(mappingBytes_) + " bytes");
    mapping_ = static_cast<uint8_t*>(mapping);
    if (mprotect(mapping_, page, PROT_NONE) != 0 || mprotect(mapping_ + page + usable, page, PROT_NONE) != 0) {
        munmap(mapping_, mappingBytes_);
        throw std::runtime_error(std::string("cannot protect the guard pages: ") + std::strerror(errno));
    }
    data_ = flush == Flush::start ? mapping_ + page : mapping_ + page + usable - bytes;
}

GuardedMemory::~GuardedMemory() { munmap(mapping_, mappingBytes_); }

std::shared_ptr<recorder::platform::PixelBuffer> makeGuardedBGRA(int width, int height, GuardedMemory::Flush flush) {
    const int stride = width * 4;
    auto memory = std::make_shared<GuardedMemory>(static_cast<size_t>(stride) * height, flush);
    std::vector<recorder::platform::PixelBuffer::Plane> planes{{memory->data(), stride, width, height}};
    return std::make_shared<recorder::platform::PixelBuffer>(recorder::platform::kPixelFormatBGRA, width, height,
                                                             std::move(planes), memory);
}

}  // namespace pixels_test
