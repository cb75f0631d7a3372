#include "recorder/platform/linux/pipewire/frame_clock.hpp"

namespace recorder::linux_backend::pipewire {
namespace {

bool plausible(int64_t stamp, int64_t arrival) {
    // A little slack for the future: the two clocks are read on different cores.
    return stamp <= arrival + 1'000'000 && stamp >= arrival - kLongestFrameLatencyNs;
}

}  // namespace

int64_t FrameClock::stamp(std::optional<int64_t> presentation, int64_t arrival) {
    if (!presentation || *presentation <= 0) return advance(arrival);
    if (!offset_ && plausible(*presentation, arrival)) return advance(*presentation);
    if (!offset_ || !plausible(*presentation + *offset_, arrival)) offset_ = arrival - *presentation;
    return advance(*presentation + *offset_);
}

int64_t FrameClock::stampRepeat(int64_t now) { return advance(now); }

int64_t FrameClock::advance(int64_t candidate) {
    if (last_ && candidate < *last_ + kMinimumFrameSpacingNs) candidate = *last_ + kMinimumFrameSpacingNs;
    last_ = candidate;
    return candidate;
}

}  // namespace recorder::linux_backend::pipewire
