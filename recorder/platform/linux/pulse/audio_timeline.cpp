#include "recorder/platform/linux/pulse/audio_timeline.hpp"

#include <algorithm>
#include <cmath>

namespace recorder::linux_backend::pulse {

int64_t AudioTimeline::place(int64_t measuredStartNs, int64_t frameCount) {
    const double durationNs = static_cast<double>(frameCount) * 1e9 / sampleRate_;
    double start = static_cast<double>(measuredStartNs);
    if (next_) {
        const double error = start - *next_;
        if (std::abs(error) <= static_cast<double>(kResyncThresholdNs)) {
            farSinceNs_ = 0.0;
            start = *next_ + error * std::min(1.0, durationNs / (kSlewTimeConstantSeconds * 1e9));
        } else if (farSinceNs_ + durationNs < static_cast<double>(kResyncConfirmationNs)) {
            farSinceNs_ += durationNs;
            start = *next_;
        } else {
            farSinceNs_ = 0.0;
        }
    }
    next_ = start + durationNs;
    return std::llround(start);
}

std::optional<int64_t> AudioTimeline::nextStartNs() const {
    if (!next_) return std::nullopt;
    return std::llround(*next_);
}

}  // namespace recorder::linux_backend::pulse
