#pragma once

#include <optional>
#include <string>
#include <vector>

#include "tests/support/desktop/media_probe.hpp"

namespace e2eaudio {

inline constexpr int kAudioRate = 48000;
inline constexpr double kVideoFrameSeconds = 1.0 / 60.0;

// One audio stream of a file decoded to mono float at 48 kHz, placed on the file's timeline: sample
// i plays at i / 48000 seconds, the same clock as the video's presentation times. (The encoder's
// priming samples, which carry negative times, are cut; a stream that starts late is led in with
// silence.) `audioStreamIndex` counts audio streams only.
struct AudioOnTimeline {
    std::vector<float> samples;

    double seconds() const { return static_cast<double>(samples.size()) / kAudioRate; }
    // The largest magnitude between two times (clamped to the stream).
    float peakBetween(double fromSeconds, double toSeconds) const;
    // The first time in [from, to) whose magnitude reaches `threshold`.
    std::optional<double> onsetBetween(double fromSeconds, double toSeconds, float threshold = 0.1f) const;
    // How much of the stream, in 10 ms blocks, stays below `threshold`.
    double quietSeconds(float threshold = 0.05f) const;
    // Every sound in the stream as "start-end s" spans, for failure messages.
    std::string describeSounds(float threshold = 0.1f) const;
};
// With `fromSeconds`, only the rest of the stream from that time is decoded, and sample 0 is that time.
// Unless `fileTimes` is set, ffmpeg moves the whole file by the encoder's priming (21.3 ms), so that
// sample 0 is the first sample of the priming; what is compared with the pictures is moved alike.
std::optional<AudioOnTimeline> decodeAudioOnTimeline(const std::string& path, int audioStreamIndex = 0,
                                                     double fromSeconds = 0, bool fileTimes = false);

using testsupport::FrameLuma;
using testsupport::lumaTimeline;

// Where an area of the picture turns bright: after the last frame that shows it dark and by the
// first frame that shows it bright. With a frame every 1/60 s the two are one frame apart; on a
// machine too loaded to keep the frame rate they are further apart, and the change is known less
// precisely.
struct PictureChange {
    double lastDarkSeconds = 0;
    double firstBrightSeconds = 0;
};
// The first change at or after `fromSeconds` from luma at most `threshold` to luma above it.
std::optional<PictureChange> findBrightening(const std::vector<FrameLuma>& frames, double fromSeconds,
                                             double threshold);

// Where a stream ends on the timeline: its start time plus its duration.
double streamEnd(const testsupport::StreamInfo& stream);

// The number of audio and video streams in a probed file.
int countStreams(const testsupport::MediaInfo& info, const std::string& codecType);

}  // namespace e2eaudio
