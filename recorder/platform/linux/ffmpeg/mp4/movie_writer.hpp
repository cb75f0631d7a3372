#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "recorder/platform/linux/ffmpeg/mp4/sample_table.hpp"

namespace recorder::linux_backend::mp4 {

// The header of a file that is still being recorded: the muxer's fragmented movie header
// (`initialMoov`) with its lengths set to what `tracks` hold so far and a movie extends header
// (mehd) that says so to readers of fragments, laid out in exactly `size` bytes so it can
// replace the original in place. None when it does not fit.
std::optional<std::vector<uint8_t>> fragmentedMovie(std::span<const uint8_t> initialMoov,
                                                    const std::vector<TrackSamples>& tracks, size_t size);

// A complete movie header that describes every sample of `tracks` where it lies in the file:
// the track descriptions, edit lists and user data of `initialMoov`, with full sample tables
// and no fragment extension. Lengths past 32 bits use the 64-bit box versions.
std::vector<uint8_t> regularMovie(std::span<const uint8_t> initialMoov, const std::vector<TrackSamples>& tracks);

}  // namespace recorder::linux_backend::mp4
