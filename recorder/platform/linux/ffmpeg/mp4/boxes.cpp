#include "recorder/platform/linux/ffmpeg/mp4/boxes.hpp"

#include <algorithm>
#include <cstring>

namespace recorder::linux_backend::mp4 {

uint32_t readU32(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }
uint64_t readU64(const uint8_t* p) { return uint64_t(readU32(p)) << 32 | readU32(p + 4); }
void writeU32(uint8_t* p, uint32_t value) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(value >> (24 - 8 * i));
}
void writeU64(uint8_t* p, uint64_t value) {
    writeU32(p, static_cast<uint32_t>(value >> 32));
    writeU32(p + 4, static_cast<uint32_t>(value));
}

std::optional<Box> boxAt(std::span<const uint8_t> data, size_t at) {
    if (at + 8 > data.size()) return std::nullopt;
    Box box;
    box.offset = at;
    box.size = readU32(&data[at]);
    std::memcpy(box.type, &data[at + 4], 4);
    if (box.size == 1) {
        if (at + 16 > data.size()) return std::nullopt;
        box.size = static_cast<size_t>(readU64(&data[at + 8]));
        box.headerSize = 16;
    }
    if (box.size < box.headerSize) return std::nullopt;
    return box;
}

std::vector<Box> childBoxes(std::span<const uint8_t> data, size_t begin, size_t end) {
    std::vector<Box> boxes;
    end = std::min(end, data.size());
    for (size_t at = begin; at < end;) {
        const auto box = boxAt(data.first(end), at);
        if (!box || box->end() > end) break;
        boxes.push_back(*box);
        at = box->end();
    }
    return boxes;
}

std::optional<Box> findBox(const std::vector<Box>& boxes, std::string_view type) {
    const auto found = std::find_if(boxes.begin(), boxes.end(), [&](const Box& box) { return box.is(type); });
    if (found == boxes.end()) return std::nullopt;
    return *found;
}

void BoxWriter::u16(uint16_t value) {
    u8(static_cast<uint8_t>(value >> 8));
    u8(static_cast<uint8_t>(value));
}

void BoxWriter::u32(uint32_t value) {
    uint8_t bytes[4];
    writeU32(bytes, value);
    raw(bytes);
}

void BoxWriter::u64(uint64_t value) {
    uint8_t bytes[8];
    writeU64(bytes, value);
    raw(bytes);
}

void BoxWriter::fourcc(std::string_view type) {
    for (size_t i = 0; i < 4; ++i) u8(i < type.size() ? static_cast<uint8_t>(type[i]) : ' ');
}

void BoxWriter::open(std::string_view type, std::optional<uint8_t> version, uint32_t flags) {
    open_.push_back(bytes_.size());
    u32(0);
    fourcc(type);
    if (version) u32(uint32_t(*version) << 24 | (flags & 0xffffff));
}

void BoxWriter::close() {
    const size_t start = open_.back();
    open_.pop_back();
    // A movie header past 4 GiB is out of reach for recordings: a sample table holds at most
    // a few hundred bytes per second.
    writeU32(&bytes_[start], static_cast<uint32_t>(bytes_.size() - start));
}

}  // namespace recorder::linux_backend::mp4
