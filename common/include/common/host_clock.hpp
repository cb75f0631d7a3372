#pragma once

#include "common/media_time.hpp"

namespace common {

// The timescale of host-clock times: nanoseconds.
inline constexpr int32_t kHostTimescale = 1'000'000'000;

// The monotonic clock (CLOCK_MONOTONIC) as a media time. Captured samples are stamped on the
// same clock, so host times and sample times can be subtracted directly.
MediaTime hostTimeNow();

// A CLOCK_MONOTONIC reading in nanoseconds as a host media time.
MediaTime hostTimeFromNanoseconds(int64_t monotonicNanoseconds);

}  // namespace common
