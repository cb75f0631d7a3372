#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "recorder/platform/linux/ffmpeg/mp4/boxes.hpp"

namespace recorder::linux_backend::mp4 {

struct Sample {
    uint32_t size = 0;
    uint32_t duration = 0;  // in the track's timescale
    int32_t compositionOffset = 0;
    bool sync = true;
};

// Everything a regular movie header needs to know about one track's samples, gathered from the
// fragments as they reach the disk. Samples that lie back to back in the file form one chunk.
class TrackSamples {
public:
    explicit TrackSamples(uint32_t trackId = 0) : trackId_(trackId) {}

    uint32_t trackId() const { return trackId_; }
    // Adds a run of samples stored back to back from `offset`, the first decoded at `decodeTime`.
    // The track's time has no holes: a run that starts later than the previous one ended
    // stretches the previous sample over the gap, so later samples keep their times.
    // Without `decodeTime` the run follows the previous one.
    void addRun(uint64_t offset, std::optional<uint64_t> decodeTime, const std::vector<Sample>& samples);

    const std::vector<Sample>& samples() const { return samples_; }
    // The track's length in its own timescale: the sum of the sample durations.
    uint64_t duration() const { return duration_; }
    // Where the data of the last sample ends; the data of every sample lies before it.
    uint64_t dataEnd() const { return dataEnd_; }

    // The sample table boxes that follow the sample description (stsd) in an stbl: times
    // (stts, ctts), sync samples (stss), chunking (stsc), sizes (stsz) and chunk offsets
    // (stco, or co64 once an offset passes 4 GiB).
    void writeTables(BoxWriter& out) const;

private:
    struct Chunk {
        uint64_t offset = 0;
        uint32_t count = 0;
    };

    uint32_t trackId_;
    std::vector<Sample> samples_;
    std::vector<Chunk> chunks_;
    std::optional<uint64_t> firstDecodeTime_;
    uint64_t duration_ = 0;
    uint64_t dataEnd_ = 0;
};

}  // namespace recorder::linux_backend::mp4
