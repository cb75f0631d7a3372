#pragma once

#include <compare>
#include <cstdint>
#include <string>

namespace common {

// A rational time on a media clock: value / timescale seconds. Timestamps and durations of
// every captured sample use it, so that times from different clocks and rates compare exactly.
struct MediaTime {
    enum Flags : uint32_t {
        kValid = 1u << 0,
        kHasBeenRounded = 1u << 1,
        kPositiveInfinity = 1u << 2,
        kNegativeInfinity = 1u << 3,
        kIndefinite = 1u << 4,
    };

    int64_t value = 0;
    int32_t timescale = 0;
    uint32_t flags = 0;
    int64_t epoch = 0;

    static constexpr MediaTime zero() { return MediaTime{0, 1, kValid, 0}; }
    static constexpr MediaTime invalid() { return MediaTime{}; }
    static constexpr MediaTime positiveInfinity() { return MediaTime{0, 0, kValid | kPositiveInfinity, 0}; }
    static constexpr MediaTime negativeInfinity() { return MediaTime{0, 0, kValid | kNegativeInfinity, 0}; }

    // A time of value / timescale seconds; a timescale of zero or less gives the invalid time.
    static constexpr MediaTime make(int64_t value, int32_t timescale) {
        if (timescale <= 0) return invalid();
        return MediaTime{value, timescale, kValid, 0};
    }
    // The nearest time to `seconds` on `preferredTimescale` (2.0 s at 600 is 1200/600).
    static MediaTime fromSeconds(double seconds, int32_t preferredTimescale);

    constexpr bool isValid() const { return (flags & kValid) != 0; }
    constexpr bool isNumeric() const {
        return isValid() && (flags & (kPositiveInfinity | kNegativeInfinity | kIndefinite)) == 0;
    }
    double seconds() const;
    // Nanoseconds, rounded toward negative infinity; the time must be numeric.
    int64_t nanoseconds() const;
    // The same instant expressed on `timescale`, rounded to nearest (ties away from zero).
    MediaTime convertScale(int32_t timescale) const;
    std::string debugString() const;
};

// Exact three-way comparison of the rational values. Invalid times equal each other and are
// greater than every valid time; infinities order as expected; indefinite sorts after +inf.
int compare(const MediaTime& a, const MediaTime& b);

MediaTime operator+(const MediaTime& a, const MediaTime& b);
MediaTime operator-(const MediaTime& a, const MediaTime& b);
MediaTime minimum(const MediaTime& a, const MediaTime& b);
MediaTime maximum(const MediaTime& a, const MediaTime& b);

inline bool operator==(const MediaTime& a, const MediaTime& b) { return compare(a, b) == 0; }
inline std::strong_ordering operator<=>(const MediaTime& a, const MediaTime& b) {
    const int c = compare(a, b);
    return c < 0 ? std::strong_ordering::less : c > 0 ? std::strong_ordering::greater : std::strong_ordering::equal;
}

}  // namespace common
