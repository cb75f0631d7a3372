#pragma once

#include <cstdint>
#include <vector>

#include "common/error.hpp"
#include "recorder/platform/linux/ffmpeg/output_file.hpp"

namespace recorder::linux_backend {

// How long one track lasts once the file is finished.
struct TrackDuration {
    double presentationSeconds = 0;  // where the track ends on the timeline (tkhd, edit list)
    int64_t mediaDuration = 0;       // sum of its sample durations in its own timescale (mdhd)
};

// A fragmented file's movie header is written before any sample, so it says nothing about the
// length. Once the muxer is done, the few duration fields of the movie, each track and each
// single-entry edit list are rewritten in place, so players that read only the header show the
// right length. Nothing but those fields is touched; `tracks` follow the order of the streams.
common::Status patchMovieDurations(OutputFile& file, const std::vector<TrackDuration>& tracks);

}  // namespace recorder::linux_backend
