#include "recorder/platform/linux/ffmpeg/movie_duration_patch.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <optional>
#include <string>

#include "recorder/platform/linux/ffmpeg/av_error.hpp"

namespace recorder::linux_backend {
namespace {

struct Box {
    int64_t offset = 0;  // of the box header in the file
    int64_t size = 0;
    int headerSize = 8;
    std::string type;
};

uint32_t readU32(const uint8_t* p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }
uint64_t readU64(const uint8_t* p) { return uint64_t(readU32(p)) << 32 | readU32(p + 4); }
void writeU32(uint8_t* p, uint64_t v) {
    for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}
void writeU64(uint8_t* p, uint64_t v) {
    writeU32(p, v >> 32);
    writeU32(p + 4, v & 0xffffffffu);
}

// The boxes directly inside [begin, end) of `data`, whose first byte is at file offset `base`.
std::vector<Box> childBoxes(const std::vector<uint8_t>& data, size_t begin, size_t end, int64_t base) {
    std::vector<Box> boxes;
    size_t at = begin;
    while (at + 8 <= end) {
        Box box;
        box.offset = base + static_cast<int64_t>(at);
        box.size = readU32(&data[at]);
        box.type.assign(reinterpret_cast<const char*>(&data[at + 4]), 4);
        if (box.size == 1 && at + 16 <= end) {
            box.size = static_cast<int64_t>(readU64(&data[at + 8]));
            box.headerSize = 16;
        }
        if (box.size < box.headerSize || at + static_cast<size_t>(box.size) > end) break;
        boxes.push_back(box);
        at += static_cast<size_t>(box.size);
    }
    return boxes;
}

const Box* find(const std::vector<Box>& boxes, const char* type) {
    auto it = std::find_if(boxes.begin(), boxes.end(), [&](const Box& b) { return b.type == type; });
    return it == boxes.end() ? nullptr : &*it;
}

// Writes `value` into the duration field of a versioned box: 32 bits at `offset32` after the
// box start for version 0, 64 bits at `offset64` for version 1.
void setVersionedField(std::vector<uint8_t>& moov, int64_t moovOffset, const Box& box, size_t offset32,
                       size_t offset64, uint64_t value) {
    uint8_t* start = &moov[static_cast<size_t>(box.offset - moovOffset)];
    if (start[box.headerSize] == 1) {
        writeU64(start + offset64, value);
    } else {
        writeU32(start + offset32, std::min<uint64_t>(value, 0xffffffffu));
    }
}

uint32_t versionedU32(const std::vector<uint8_t>& moov, int64_t moovOffset, const Box& box, size_t offset32,
                      size_t offset64) {
    const uint8_t* start = &moov[static_cast<size_t>(box.offset - moovOffset)];
    return readU32(start + (start[box.headerSize] == 1 ? offset64 : offset32));
}

}  // namespace

common::Status patchMovieDurations(OutputFile& file, const std::vector<TrackDuration>& tracks) {
    // Find the movie box among the top-level boxes (it follows ftyp in these files).
    const int64_t fileSize = file.size();
    int64_t at = 0;
    std::optional<Box> moovBox;
    while (at + 8 <= fileSize) {
        uint8_t header[16] = {};
        if (auto failed = file.read(at, header, std::min<int64_t>(16, fileSize - at) >= 16 ? 16 : 8)) return failed;
        Box box{at, readU32(header), 8, std::string(reinterpret_cast<char*>(header + 4), 4)};
        if (box.size == 1) {
            box.size = static_cast<int64_t>(readU64(header + 8));
            box.headerSize = 16;
        }
        if (box.size < box.headerSize) break;
        if (box.type == "moov") {
            moovBox = box;
            break;
        }
        at += box.size;
    }
    const std::string unreadable = "cannot finish " + file.path() + ": its movie header cannot be read back";
    if (!moovBox || moovBox->offset + moovBox->size > fileSize) return common::Error{kWriterErrorDomain, 0, unreadable};

    std::vector<uint8_t> moov(static_cast<size_t>(moovBox->size));
    if (auto failed = file.read(moovBox->offset, moov.data(), moov.size())) return failed;
    const int64_t base = moovBox->offset;
    const auto topLevel = childBoxes(moov, static_cast<size_t>(moovBox->headerSize), moov.size(), base);
    const Box* mvhd = find(topLevel, "mvhd");
    if (!mvhd) return common::Error{kWriterErrorDomain, 0, unreadable};
    // mvhd: version/flags, creation, modification, timescale, duration.
    const uint32_t movieTimescale = versionedU32(moov, base, *mvhd, 20, 28);
    if (movieTimescale == 0) return common::Error{kWriterErrorDomain, 0, unreadable};

    double movieSeconds = 0;
    size_t trackIndex = 0;
    for (const Box& trak : topLevel) {
        if (trak.type != "trak" || trackIndex >= tracks.size()) continue;
        const TrackDuration& track = tracks[trackIndex++];
        movieSeconds = std::max(movieSeconds, track.presentationSeconds);
        const auto movieUnits = static_cast<uint64_t>(std::llround(track.presentationSeconds * movieTimescale));
        const size_t trakBegin = static_cast<size_t>(trak.offset - base);
        const auto inTrak = childBoxes(moov, trakBegin + trak.headerSize, trakBegin + trak.size, base);
        if (const Box* tkhd = find(inTrak, "tkhd")) setVersionedField(moov, base, *tkhd, 28, 36, movieUnits);
        if (const Box* edts = find(inTrak, "edts")) {
            const size_t edtsBegin = static_cast<size_t>(edts->offset - base);
            const auto inEdts = childBoxes(moov, edtsBegin + edts->headerSize, edtsBegin + edts->size, base);
            const Box* elst = find(inEdts, "elst");
            // Only a single edit (the usual "skip the encoder's priming") is a plain length.
            if (elst && readU32(&moov[static_cast<size_t>(elst->offset - base) + 12]) == 1) {
                setVersionedField(moov, base, *elst, 16, 16, movieUnits);
            }
        }
        if (const Box* mdia = find(inTrak, "mdia")) {
            const size_t mdiaBegin = static_cast<size_t>(mdia->offset - base);
            const auto inMdia = childBoxes(moov, mdiaBegin + mdia->headerSize, mdiaBegin + mdia->size, base);
            if (const Box* mdhd = find(inMdia, "mdhd")) {
                setVersionedField(moov, base, *mdhd, 24, 32, static_cast<uint64_t>(std::max<int64_t>(0, track.mediaDuration)));
            }
        }
    }
    setVersionedField(moov, base, *mvhd, 24, 32, static_cast<uint64_t>(std::llround(movieSeconds * movieTimescale)));
    return file.patch(moovBox->offset, moov.data(), moov.size());
}

}  // namespace recorder::linux_backend
