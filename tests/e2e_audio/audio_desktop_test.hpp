#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e_audio/media_timeline.hpp"
#include "tests/e2e_audio/recording_run.hpp"
#include "tests/e2e_audio/sync_marker.hpp"
#include "tests/support/desktop/test_desktop.hpp"
#include "tests/support/desktop/test_programs.hpp"

namespace e2eaudio {

inline constexpr double kSystemToneHz = 1000.0;
inline constexpr double kMicrophoneToneHz = 440.0;
// How close to its moment a sound must land on the timeline.
inline constexpr double kPlacementToleranceSeconds = 0.050;
// Below this peak a stretch of decoded audio counts as silent (the bursts play at 0.5).
inline constexpr float kSilencePeak = 0.02f;
// What a sound's measured place may be off by: the tone player's latency estimate and the jitter of
// the recorder's audio timestamps, a few milliseconds each.
inline constexpr double kTimingSlackSeconds = 0.005;
// How far from the video's end a track fed by a stream of its own may end: the video ends within a
// buffer of the system audio, and the other stream's last buffer (10 ms) can end before or after
// that, with an encoder frame (21.3 ms) on top.
inline constexpr double kOwnStreamEndToleranceSeconds = 0.045;

// A headless desktop with a private sound server, a marker window, moving content beside it, and a
// tone player on each test sink: "sysout" is what the computer plays, "micfeed" what the microphone
// hears.
class AudioDesktopTest : public ::testing::Test {
protected:
    void SetUp() override {
        testsupport::DesktopOptions options;
        options.windowManager = false;  // the marker window then sits exactly where it asks to be
        options.pulseAudio = true;
        desktop_ = testsupport::TestDesktop::start(options);
        marker_ = std::make_unique<SyncMarker>(*desktop_);
        systemPlayer_ = openTonePlayer(*desktop_, "sysout");
        microphonePlayer_ = openTonePlayer(*desktop_, "micfeed");
        startMovingPicture();
    }

    // Lets a stretch of the recording pass (not a wait for readiness: the scenario needs this much).
    static void waitFor(std::chrono::milliseconds span) { std::this_thread::sleep_for(span); }

    // Where a host time falls on the timeline of a recording that printed "Recording started" at
    // `startedNs`, judged as if the first frame had been captured then.
    static double timelineSeconds(int64_t hostNs, int64_t startedNs) {
        return static_cast<double>(hostNs - startedNs) / 1e9;
    }

    // Moving content beside the marker, so that the video has a frame every 1/60 s to the very end
    // and a frame before every marker shows the picture just before it changed.
    void startMovingPicture() {
        movingPicture_ = testsupport::ChildProcess::spawn(
            {testsupport::testProgramPath("moving-picture"), "--x", "400", "--y", "100"}, desktop_->environment());
        const auto ready = movingPicture_->readStdoutLine(std::chrono::seconds(10));
        ASSERT_TRUE(ready && ready->rfind("READY ", 0) == 0) << movingPicture_->stderrSoFar();
    }

    // Every audio track of the recording (the video file's own and `audioFiles` in the test's
    // directory) ends where the video ends, to within `tolerance` (one video frame unless said).
    void expectTracksEndTogether(const std::vector<std::string>& audioFiles,
                                 double toleranceSeconds = kVideoFrameSeconds) {
        const auto video = testsupport::probeMedia(files_.file("video.mp4"));
        ASSERT_TRUE(video.has_value());
        const auto* videoStream = video->firstOfType("video");
        const auto* inlineStream = video->firstOfType("audio");
        ASSERT_TRUE(videoStream && inlineStream);
        const double videoEnd = streamEnd(*videoStream);
        std::cout << "[ measured ] video ends at " << videoEnd << " s, inline audio at " << streamEnd(*inlineStream)
                  << " s\n";
        EXPECT_NEAR(streamEnd(*inlineStream), videoEnd, toleranceSeconds) << "inline audio";
        for (const auto& name : audioFiles) {
            const auto audio = testsupport::probeMedia(files_.file(name));
            ASSERT_TRUE(audio && audio->firstOfType("audio")) << name;
            const double audioEnd = streamEnd(*audio->firstOfType("audio"));
            std::cout << "[ measured ] " << name << " ends at " << audioEnd << " s\n";
            EXPECT_NEAR(audioEnd, videoEnd, toleranceSeconds) << name;
        }
    }

    std::unique_ptr<testsupport::TestDesktop> desktop_;
    std::unique_ptr<testsupport::ChildProcess> movingPicture_;
    std::unique_ptr<SyncMarker> marker_;
    std::unique_ptr<pulsetest::TonePlayer> systemPlayer_;
    std::unique_ptr<pulsetest::TonePlayer> microphonePlayer_;
    TemporaryDirectory files_;
};

// The brightness of the marker window through a whole video file.
inline std::vector<FrameLuma> markerTimeline(const std::string& videoPath, double fromSeconds = 0) {
    return lumaTimeline(videoPath, SyncMarker::kProbeX, SyncMarker::kProbeY, SyncMarker::kProbeSize,
                        SyncMarker::kProbeSize, fromSeconds)
        .value_or(std::vector<FrameLuma>{});
}

}  // namespace e2eaudio

namespace e2eaudio {

// When the picture changed, as far as the frames tell. A frame is stamped with the tick of the
// frame grid at or before its grab, so a frame stamped t shows the screen at some moment of
// [t, t + one frame). The change therefore happened after the last frame without it was grabbed
// and before the first frame with it was: between `lastDarkSeconds` and `firstBrightSeconds` plus
// one frame. With a frame every 1/60 s that is a span of two frames around the change.
inline double changedAfterSeconds(const PictureChange& picture) { return picture.lastDarkSeconds; }
inline double changedBySeconds(const PictureChange& picture) { return picture.firstBrightSeconds + kVideoFrameSeconds; }

// The sound of a marker must start while the picture changed (see changedAfterSeconds), give or
// take kTimingSlackSeconds. Returns where the sound starts.
inline std::optional<double> expectMarkerInSync(const AudioOnTimeline& audio, const std::string& track,
                                                const std::optional<PictureChange>& picture) {
    EXPECT_TRUE(picture.has_value()) << track << ": the window never turned bright";
    if (!picture) return std::nullopt;
    const auto onset = audio.onsetBetween(picture->firstBrightSeconds - 0.3, picture->firstBrightSeconds + 0.25);
    EXPECT_TRUE(onset.has_value()) << track << ": no tone near the picture change at " << picture->firstBrightSeconds
                                   << " s; " << audio.describeSounds();
    if (!onset) return std::nullopt;
    std::cout << "[ measured ] " << track << ": tone at " << *onset << " s, picture changed between "
              << picture->lastDarkSeconds << " and " << picture->firstBrightSeconds
              << " s; first changed frame - sound = " << (picture->firstBrightSeconds - *onset) * 1000 << " ms\n";
    EXPECT_GE(*onset, changedAfterSeconds(*picture) - kTimingSlackSeconds)
        << track << ": the sound comes before the picture changed";
    EXPECT_LE(*onset, changedBySeconds(*picture) + kTimingSlackSeconds)
        << track << ": the sound comes after the picture changed";
    return onset;
}

// Places host times on a recording's timeline, from one marker's picture change. The recording's
// own "Recording started" is no anchor: it is printed once the first frame has been written, which
// on a loaded machine can be a second after that frame was captured.
class TimelineAnchor {
public:
    TimelineAnchor(int64_t changedNs, const PictureChange& picture)
        : changedNs_(changedNs),
          pictureSeconds_((changedAfterSeconds(picture) + changedBySeconds(picture)) / 2),
          uncertaintySeconds_((changedBySeconds(picture) - changedAfterSeconds(picture)) / 2) {}
    // Where `hostNs` falls when `pausedNs` has been cut out since the anchor.
    double seconds(int64_t hostNs, int64_t pausedNs = 0) const {
        return pictureSeconds_ + static_cast<double>(hostNs - changedNs_ - pausedNs) / 1e9;
    }

    // How far off its places may be: half the span in which the anchoring change happened.
    double uncertaintySeconds() const { return uncertaintySeconds_; }

private:
    int64_t changedNs_;
    double pictureSeconds_;
    double uncertaintySeconds_;
};

// A picture change that `anchor` puts at `hostNs` (with `pausedNs` cut out since) shows there, give
// or take kPlacementToleranceSeconds and the anchor's own uncertainty.
inline void expectChangeAt(const PictureChange& picture, const TimelineAnchor& anchor, int64_t hostNs,
                           const std::string& what, int64_t pausedNs = 0) {
    const double expectedSeconds = anchor.seconds(hostNs, pausedNs);
    const double tolerance = kPlacementToleranceSeconds + anchor.uncertaintySeconds();
    EXPECT_GE(expectedSeconds, changedAfterSeconds(picture) - tolerance)
        << what << ": the picture changed at " << picture.lastDarkSeconds << " to " << picture.firstBrightSeconds
        << " s";
    EXPECT_LE(expectedSeconds, changedBySeconds(picture) + tolerance)
        << what << ": the picture changed at " << picture.lastDarkSeconds << " to " << picture.firstBrightSeconds
        << " s";
}

}  // namespace e2eaudio
