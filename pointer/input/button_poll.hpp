#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "common/output_lines.hpp"
#include "common/repeating_timer.hpp"
#include "pointer/platform/button_events.hpp"

namespace pointer::input {

struct PollDescriptor {
    uint32_t downType;
    uint32_t upType;
    int64_t button;
};

// Left, right, and every other button under one number.
inline constexpr std::array<PollDescriptor, 3> kPollDescriptors{{{1, 2, 1}, {3, 4, 2}, {25, 26, 3}}};

// At most this many presses and releases of one button are reported per tick; a burst beyond
// that is no click a person made.
inline constexpr uint32_t kMaxReportsPerTick = 4;

struct CounterPair {
    uint32_t down = 0;
    uint32_t up = 0;
};

// The lines for one button's counters moving from `before` to `now`: down and up interleaved,
// counted modulo 2^32.
std::vector<std::string> pollLinesForButton(CounterPair before, CounterPair now, int64_t button);

// Reads the session's button counters on a fast timer and prints what changed since the last tick.
class ButtonPoller {
public:
    ButtonPoller(platform::ButtonEventSource& source, common::LineSink& sink);

    // One tick: read, compare, print. Public so that it can be driven without the timer.
    void poll();

    // Starts ticking every 10 ms on a user-interactive thread until destroyed.
    void start();

private:
    CounterPair read(const PollDescriptor& descriptor) const;

    platform::ButtonEventSource& source_;
    common::LineSink& sink_;
    std::array<CounterPair, kPollDescriptors.size()> counters_{};  // touched only by poll()
    std::unique_ptr<common::RepeatingTimer> timer_;
};

}  // namespace pointer::input
