#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "recorder/platform/linux/ffmpeg/mp4/sample_table.hpp"

namespace recorder::linux_backend::mp4 {

// What a track's fragments leave out of their own headers (trex in the movie header).
struct TrackDefaults {
    uint32_t trackId = 0;
    uint32_t duration = 0;
    uint32_t size = 0;
    uint32_t flags = 0;
};

// The tracks of a fragmented movie header (`moov` box bytes, header included), in their order,
// with the defaults their fragments rely on.
std::vector<TrackDefaults> fragmentedTracks(std::span<const uint8_t> moov);

// Adds the samples of one movie fragment (`moof` box bytes, header included, found at
// `moofOffset` in the file) to the matching entries of `tracks`. False when the fragment
// header cannot be understood; what it added up to then stays.
bool readFragment(std::span<const uint8_t> moof, uint64_t moofOffset, const std::vector<TrackDefaults>& defaults,
                  std::vector<TrackSamples>& tracks);

}  // namespace recorder::linux_backend::mp4
