#pragma once

#include <cstdint>
#include <optional>

namespace recorder::linux_backend::pipewire {

// Puts PipeWire frames on the host clock (CLOCK_MONOTONIC, nanoseconds). Producers stamp a frame
// with the monotonic time it was made, which is the host clock itself; that time is kept, so
// frames are spaced as the desktop drew them rather than as they happened to arrive. A stamp that
// cannot be on this clock (missing, in the future, or long past) is replaced by the arrival time
// and, for producers on another clock, by their time shifted once onto ours. Every result is later
// than the one before, because a frame that does not advance the timeline is lost downstream.
class FrameClock {
public:
    // `presentation`: the producer's stamp, if any; `arrival`: the host time the frame came in.
    int64_t stamp(std::optional<int64_t> presentation, int64_t arrival);
    // For a picture shown again at `now` because nothing changed.
    int64_t stampRepeat(int64_t now);

private:
    int64_t advance(int64_t candidate);

    std::optional<int64_t> offset_;  // producer clock to host clock, once the stamps proved foreign
    std::optional<int64_t> last_;
};

// A stamp may be this far behind its arrival (the compositor's rendering and the transport).
inline constexpr int64_t kLongestFrameLatencyNs = 1'000'000'000;
// Distinct frames are at least this far apart on the output timeline.
inline constexpr int64_t kMinimumFrameSpacingNs = 1'000'000;

}  // namespace recorder::linux_backend::pipewire
