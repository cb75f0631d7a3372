#include "common/host_clock.hpp"

#include <ctime>

namespace common {

MediaTime hostTimeNow() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return hostTimeFromNanoseconds(static_cast<int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec);
}

MediaTime hostTimeFromNanoseconds(int64_t monotonicNanoseconds) {
    return MediaTime::make(monotonicNanoseconds, kHostTimescale);
}

}  // namespace common
