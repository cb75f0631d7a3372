#pragma once

#include <cstdint>
#include <optional>

namespace recorder::linux_backend::pulse {

// Places captured audio on the host clock.
//
// Each read comes with a measurement: the host time of its first sample as the sound server's
// timing information puts it (host now minus the record latency). Those measurements never drift
// from the host clock, but they jitter by a millisecond or so, and stamping buffers with them as
// they are would leave small gaps and overlaps between consecutive buffers. Counting samples from
// the start is perfectly smooth but drifts with the sound card's clock (on the test server here,
// 0.28 s in ten minutes). So buffers follow on from each other by their sample counts, and every
// buffer steers that running position a small share of the way towards the measurement: the
// position keeps the host clock's long-term rate, each step stays well below a millisecond, and
// the size of the buffers does not matter.
//
// A measurement far from the running position is either a glitch (a timing report delayed on a
// loaded machine) or a real discontinuity (a device that stalled, a reconnect). Only when the
// measurements stay far away for a while is it the latter, and the position then jumps to them.
class AudioTimeline {
public:
    // Beyond this distance from the running position a measurement is not steered towards.
    static constexpr int64_t kResyncThresholdNs = 20'000'000;
    // Audio measured beyond the threshold for this long makes the position jump.
    static constexpr int64_t kResyncConfirmationNs = 100'000'000;
    // Time over which a steady error is corrected by a factor e. Jitter is averaged over this
    // long; each buffer moves by its own duration's share of the error (0.4 ms for a 20 ms buffer
    // 20 ms off), so the steps stay far below what anyone could hear.
    static constexpr double kSlewTimeConstantSeconds = 1.0;

    explicit AudioTimeline(int sampleRate) : sampleRate_(sampleRate) {}

    // The host time (ns) of the first of `frameCount` frames whose first frame was measured
    // at `measuredStartNs`.
    int64_t place(int64_t measuredStartNs, int64_t frameCount);

    // Where the next buffer would start if it follows on without a gap; none before the first.
    std::optional<int64_t> nextStartNs() const;

    // Forgets the running position, so that the next buffer starts at its own measurement.
    void reset() {
        next_.reset();
        farSinceNs_ = 0.0;
    }
    // Forgets the running position and goes on from `startNs`.
    void restartAt(int64_t startNs) {
        next_ = static_cast<double>(startNs);
        farSinceNs_ = 0.0;
    }

private:
    int sampleRate_;
    std::optional<double> next_;
    double farSinceNs_ = 0.0;  // audio in a row measured beyond the threshold
};

}  // namespace recorder::linux_backend::pulse
