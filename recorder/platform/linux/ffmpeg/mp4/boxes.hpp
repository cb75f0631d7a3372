#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

namespace recorder::linux_backend::mp4 {

uint32_t readU32(const uint8_t* p);
uint64_t readU64(const uint8_t* p);
void writeU32(uint8_t* p, uint32_t value);
void writeU64(uint8_t* p, uint64_t value);

// One box found in a byte range: where it starts, how long it is with its header, and where its
// payload starts (after the 8 or 16 header bytes). Offsets are relative to the range searched.
struct Box {
    size_t offset = 0;
    size_t size = 0;
    size_t headerSize = 8;
    char type[4] = {};

    bool is(std::string_view name) const { return name.size() == 4 && std::string_view(type, 4) == name; }
    size_t payload() const { return offset + headerSize; }
    size_t end() const { return offset + size; }
};

// Reads the header at `at` of `data`; none when it is cut off or its size makes no sense.
std::optional<Box> boxAt(std::span<const uint8_t> data, size_t at);
// The boxes directly inside [begin, end) of `data`; stops at the first one that does not fit.
std::vector<Box> childBoxes(std::span<const uint8_t> data, size_t begin, size_t end);
inline std::vector<Box> childBoxes(std::span<const uint8_t> data, const Box& parent) {
    return childBoxes(data, parent.payload(), parent.end());
}
std::optional<Box> findBox(const std::vector<Box>& boxes, std::string_view type);

// Builds boxes big-endian into a growing buffer; nested boxes get their sizes when closed.
class BoxWriter {
public:
    void u8(uint8_t value) { bytes_.push_back(value); }
    void u16(uint16_t value);
    void u32(uint32_t value);
    void u64(uint64_t value);
    void fourcc(std::string_view type);
    void raw(std::span<const uint8_t> bytes) { bytes_.insert(bytes_.end(), bytes.begin(), bytes.end()); }

    // Opens a box (a full box when `version` is given: version byte and 24 flag bits follow).
    void open(std::string_view type, std::optional<uint8_t> version = std::nullopt, uint32_t flags = 0);
    void close();

    size_t size() const { return bytes_.size(); }
    const std::vector<uint8_t>& bytes() const { return bytes_; }
    std::vector<uint8_t> take() { return std::move(bytes_); }

private:
    std::vector<uint8_t> bytes_;
    std::vector<size_t> open_;
};

}  // namespace recorder::linux_backend::mp4
