#include "common/media_time.hpp"

#include <cmath>
#include <limits>
#include <numeric>
#include <sstream>

namespace common {
namespace {

using i128 = __int128;


// Rank of a non-numeric time for ordering; numeric times rank 0.
int specialRank(const MediaTime& t) {
    if (!t.isValid()) return 4;
    if (t.flags & MediaTime::kIndefinite) return 3;
    if (t.flags & MediaTime::kPositiveInfinity) return 2;
    if (t.flags & MediaTime::kNegativeInfinity) return -1;
    return 0;
}

i128 roundDiv(i128 numerator, i128 denominator) {
    // Round to nearest, ties away from zero; denominator > 0.
    const i128 half = denominator / 2;
    if (numerator >= 0) return (numerator + half) / denominator;
    return -((-numerator + half) / denominator);
}

bool fitsInt64(i128 v) {
    return v >= std::numeric_limits<int64_t>::min() && v <= std::numeric_limits<int64_t>::max();
}

// The timescale two operands are combined on: their least common multiple when it fits in 32 bits,
// otherwise the larger one (rounding the other operand onto it).
int32_t commonTimescale(int32_t a, int32_t b) {
    if (a == b) return a;
    const int64_t lcm = std::lcm<int64_t, int64_t>(a, b);
    if (lcm <= std::numeric_limits<int32_t>::max()) return static_cast<int32_t>(lcm);
    return std::max(a, b);
}

// value of `t` on `timescale`, and whether it had to be rounded.
i128 valueOn(const MediaTime& t, int32_t timescale, bool& rounded) {
    if (t.timescale == timescale) return t.value;
    const i128 scaled = static_cast<i128>(t.value) * timescale;
    if (scaled % t.timescale != 0) rounded = true;
    return roundDiv(scaled, t.timescale);
}

MediaTime combine(const MediaTime& a, const MediaTime& b, bool subtract) {
    if (!a.isValid() || !b.isValid()) return MediaTime::invalid();
    if (!a.isNumeric() || !b.isNumeric()) {
        if ((a.flags | b.flags) & MediaTime::kIndefinite) return MediaTime{0, 0, MediaTime::kValid | MediaTime::kIndefinite, 0};
        const int ra = specialRank(a);
        int rb = specialRank(b);
        if (subtract && rb != 0) rb = rb == 2 ? -1 : 2;
        if (ra != 0 && rb != 0 && ra != rb) return MediaTime{0, 0, MediaTime::kValid | MediaTime::kIndefinite, 0};
        return (ra == 2 || rb == 2) ? MediaTime::positiveInfinity() : MediaTime::negativeInfinity();
    }
    const int32_t ts = commonTimescale(a.timescale, b.timescale);
    bool rounded = false;
    const i128 va = valueOn(a, ts, rounded);
    const i128 vb = valueOn(b, ts, rounded);
    const i128 sum = subtract ? va - vb : va + vb;
    if (!fitsInt64(sum)) return sum > 0 ? MediaTime::positiveInfinity() : MediaTime::negativeInfinity();
    MediaTime r = MediaTime::make(static_cast<int64_t>(sum), ts);
    if (rounded || ((a.flags | b.flags) & MediaTime::kHasBeenRounded)) r.flags |= MediaTime::kHasBeenRounded;
    r.epoch = a.epoch;
    return r;
}

}  // namespace

MediaTime MediaTime::fromSeconds(double seconds, int32_t preferredTimescale) {
    if (std::isnan(seconds) || preferredTimescale <= 0) return invalid();
    if (std::isinf(seconds)) return seconds > 0 ? positiveInfinity() : negativeInfinity();
    const long double exact = static_cast<long double>(seconds) * preferredTimescale;
    if (exact >= 9.2e18L || exact <= -9.2e18L) return seconds > 0 ? positiveInfinity() : negativeInfinity();
    const long double rounded = std::roundl(exact);
    MediaTime t = make(static_cast<int64_t>(rounded), preferredTimescale);
    if (rounded != exact) t.flags |= kHasBeenRounded;
    return t;
}

double MediaTime::seconds() const {
    if (!isValid()) return std::numeric_limits<double>::quiet_NaN();
    if (flags & kPositiveInfinity) return std::numeric_limits<double>::infinity();
    if (flags & kNegativeInfinity) return -std::numeric_limits<double>::infinity();
    if (flags & kIndefinite) return std::numeric_limits<double>::quiet_NaN();
    return static_cast<double>(value) / timescale;
}

int64_t MediaTime::nanoseconds() const {
    const i128 scaled = static_cast<i128>(value) * 1'000'000'000;
    i128 q = scaled / timescale;
    if (scaled % timescale != 0 && scaled < 0) --q;
    return fitsInt64(q) ? static_cast<int64_t>(q) : (q > 0 ? std::numeric_limits<int64_t>::max() : std::numeric_limits<int64_t>::min());
}

MediaTime MediaTime::convertScale(int32_t newTimescale) const {
    if (!isNumeric() || newTimescale <= 0) return *this;
    bool rounded = false;
    const i128 v = valueOn(*this, newTimescale, rounded);
    if (!fitsInt64(v)) return v > 0 ? positiveInfinity() : negativeInfinity();
    MediaTime r{static_cast<int64_t>(v), newTimescale, flags, epoch};
    if (rounded) r.flags |= kHasBeenRounded;
    return r;
}

std::string MediaTime::debugString() const {
    std::ostringstream out;
    if (!isValid()) return "invalid";
    if (flags & kPositiveInfinity) return "+inf";
    if (flags & kNegativeInfinity) return "-inf";
    if (flags & kIndefinite) return "indefinite";
    out << value << "/" << timescale;
    return out.str();
}

int compare(const MediaTime& a, const MediaTime& b) {
    const int ra = specialRank(a);
    const int rb = specialRank(b);
    if (ra != 0 || rb != 0) {
        if (ra == rb) return 0;
        return ra < rb ? -1 : 1;
    }
    if (a.epoch != b.epoch) return a.epoch < b.epoch ? -1 : 1;
    // a.value / a.timescale <=> b.value / b.timescale, both timescales positive.
    const i128 left = static_cast<i128>(a.value) * b.timescale;
    const i128 right = static_cast<i128>(b.value) * a.timescale;
    if (left == right) return 0;
    return left < right ? -1 : 1;
}

MediaTime operator+(const MediaTime& a, const MediaTime& b) { return combine(a, b, false); }
MediaTime operator-(const MediaTime& a, const MediaTime& b) { return combine(a, b, true); }

MediaTime minimum(const MediaTime& a, const MediaTime& b) {
    if (!a.isValid()) return b;
    if (!b.isValid()) return a;
    return compare(a, b) <= 0 ? a : b;
}

MediaTime maximum(const MediaTime& a, const MediaTime& b) {
    if (!a.isValid()) return b;
    if (!b.isValid()) return a;
    return compare(a, b) >= 0 ? a : b;
}

}  // namespace common
