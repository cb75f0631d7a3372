#pragma once

#include <cstdint>

namespace recorder::linux_backend {

// For this long after a capture starts (or changes display) a still picture is shown again
// often: the consumer may open its gate a little after the start returned (its writer starts
// after the stream), and a picture it never received would leave a still screen unrecorded.
inline constexpr int64_t kStillSettlingNanoseconds = 500'000'000;

// Afterwards a still screen still gets a complete frame this often, so a consumer that dropped
// the last one has the picture again soon, and a recording that ends on a still screen ends at
// most this much before the stop (its last frame is the last complete one).
inline constexpr int64_t kStillRefreshNanoseconds = 250'000'000;

// Whether the unchanged picture is due again at `now` (nanoseconds on one clock), when the last
// picture went out at `lastPicture` and settling lasts until `settledAt`; while settling, a gap
// of `settlingGap` is enough.
constexpr bool stillPictureDue(int64_t now, int64_t lastPicture, int64_t settledAt, int64_t settlingGap) {
    const int64_t gap = now < settledAt ? settlingGap : kStillRefreshNanoseconds;
    return now - lastPicture >= gap;
}

}  // namespace recorder::linux_backend
