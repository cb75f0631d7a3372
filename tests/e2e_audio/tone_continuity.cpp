#include "tests/e2e_audio/tone_continuity.hpp"

#include <algorithm>
#include <cmath>
#include <deque>
#include <numbers>
#include <optional>
#include <sstream>

namespace e2eaudio {
namespace {

// Residuals closer together than this belong to one break.
constexpr double kJumpMergeSeconds = 0.010;

size_t indexAt(double seconds, size_t size) {
    if (seconds <= 0) return 0;
    return std::min(size, static_cast<size_t>(std::llround(seconds * kAudioRate)));
}

// The largest magnitude over the last `window` samples, for every sample of [from, to).
std::vector<float> peakEnvelope(const std::vector<float>& samples, size_t from, size_t to, size_t window) {
    std::vector<float> envelope;
    envelope.reserve(to - from);
    std::deque<size_t> candidates;  // indices of decreasing magnitude
    for (size_t i = from; i < to; ++i) {
        while (!candidates.empty() && std::abs(samples[candidates.back()]) <= std::abs(samples[i])) candidates.pop_back();
        candidates.push_back(i);
        if (candidates.front() + window <= i) candidates.pop_front();
        envelope.push_back(std::abs(samples[candidates.front()]));
    }
    return envelope;
}

double quantile(std::vector<float> values, double share) {
    if (values.empty()) return 0;
    const auto at = values.begin() + static_cast<std::ptrdiff_t>(share * static_cast<double>(values.size() - 1));
    std::nth_element(values.begin(), at, values.end());
    return *at;
}

}  // namespace

ToneBreaks findToneBreaks(const AudioOnTimeline& audio, double frequencyHz, double fromSeconds, double toSeconds) {
    ToneBreaks breaks;
    const std::vector<float>& x = audio.samples;
    const size_t from = indexAt(fromSeconds, x.size());
    const size_t to = indexAt(toSeconds, x.size());
    if (to < from + 3) return breaks;
    const auto period = static_cast<size_t>(std::ceil(kAudioRate / frequencyHz)) + 1;
    const std::vector<float> envelope = peakEnvelope(x, from, to, period);
    breaks.level = quantile(envelope, 0.5);
    if (breaks.level <= 0) {
        breaks.holes.push_back({fromSeconds, toSeconds - fromSeconds});
        return breaks;
    }

    // Holes: the trailing one-period peak stays low for a period less than the hole lasts.
    std::vector<bool> inHole(to - from, false);
    const auto threshold = static_cast<float>(kHoleLevel * breaks.level);
    for (size_t i = 0; i < envelope.size();) {
        if (envelope[i] >= threshold) {
            ++i;
            continue;
        }
        size_t end = i;
        while (end < envelope.size() && envelope[end] < threshold) ++end;
        const double length = static_cast<double>(end - i + period) / kAudioRate;
        if (length > kHoleSeconds) {
            const size_t start = i >= period ? i - period : 0;
            breaks.holes.push_back({static_cast<double>(from + start) / kAudioRate, length});
            // The tone breaking off and coming back is part of the hole, not a jump of its own.
            for (size_t k = start; k < std::min(envelope.size(), end + 2 * period); ++k) inHole[k] = true;
        }
        i = end;
    }

    // Jumps: where the sine's own recurrence fails to predict a sample.
    const double coefficient = 2.0 * std::cos(2.0 * std::numbers::pi * frequencyHz / kAudioRate);
    std::vector<float> residuals;
    residuals.reserve(to - from);
    const auto mergeSamples = static_cast<size_t>(kJumpMergeSeconds * kAudioRate);
    std::optional<size_t> lastJump;
    const size_t onsetEnd = from + static_cast<size_t>(kCodecOnsetSeconds * kAudioRate);
    for (size_t n = from + 2; n < to; ++n) {
        const double residual = std::abs(x[n] - coefficient * x[n - 1] + x[n - 2]) / breaks.level;
        residuals.push_back(static_cast<float>(residual));
        if (residual <= kJumpResidual || inHole[n - from] || n < onsetEnd) continue;
        if (lastJump && n - *lastJump <= mergeSamples) {
            breaks.jumps.back().residual = std::max(breaks.jumps.back().residual, residual);
        } else {
            breaks.jumps.push_back({static_cast<double>(n) / kAudioRate, residual});
        }
        lastJump = n;
    }
    breaks.noiseResidual = quantile(residuals, 0.999);
    return breaks;
}

std::string ToneBreaks::describe() const {
    std::ostringstream text;
    text << holes.size() << " holes (";
    for (const auto& hole : holes) text << ' ' << hole.startSeconds << " s " << hole.lengthSeconds * 1000 << " ms";
    text << " ), " << jumps.size() << " jumps (";
    for (const auto& jump : jumps) text << ' ' << jump.atSeconds << " s r=" << jump.residual;
    text << " ); level " << level << ", residual noise " << noiseResidual;
    return text.str();
}

}  // namespace e2eaudio
