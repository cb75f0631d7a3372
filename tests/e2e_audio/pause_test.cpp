// Pausing cuts the paused span out of the video and out of every audio track at the same instant,
// so that sound and picture stay together after any number of pauses.
#include <algorithm>
#include <string>
#include <vector>

#include "tests/e2e_audio/audio_desktop_test.hpp"

namespace e2eaudio {
namespace {

using namespace std::chrono_literals;

// What may pass between "stop" being sent and the capture ending, on a loaded machine.
constexpr double kStopLatencySeconds = 0.5;

using PauseTest = AudioDesktopTest;

TEST_F(PauseTest, ThePausedSpanIsCutFromEveryTrackAndSoundStaysWithPicture) {
    auto run = RecordingRun::launch(*desktop_, audioRequest(files_, true, true));
    ASSERT_TRUE(run->waitUntilStarted()) << run->transcript();
    waitFor(800ms);
    const auto before = marker_->fire(*systemPlayer_, kSystemToneHz);
    ASSERT_TRUE(before);
    waitFor(300ms);
    ASSERT_TRUE(marker_->darken());
    waitFor(300ms);
    const auto pausedAt = run->pause();
    ASSERT_TRUE(pausedAt) << run->transcript();
    // Sound played while paused must not appear anywhere.
    waitFor(1000ms);
    systemPlayer_->playTone(kSystemToneHz, 300ms);
    microphonePlayer_->playTone(kMicrophoneToneHz, 300ms);
    waitFor(2000ms);
    const auto resumedAt = run->resume();
    ASSERT_TRUE(resumedAt) << run->transcript();
    const int64_t pausedNs = *resumedAt - *pausedAt;
    waitFor(500ms);
    const auto systemAfter = marker_->fire(*systemPlayer_, kSystemToneHz);
    ASSERT_TRUE(systemAfter);
    waitFor(300ms);
    ASSERT_TRUE(marker_->darken());
    waitFor(300ms);
    const auto microphoneAfter = marker_->fire(*microphonePlayer_, kMicrophoneToneHz);
    ASSERT_TRUE(microphoneAfter);
    waitFor(300ms);
    ASSERT_TRUE(marker_->darken());
    waitFor(400ms);
    ASSERT_EQ(run->stop(), 0) << run->transcript();

    const auto frames = markerTimeline(files_.file("video.mp4"));
    const auto beforePicture = findBrightening(frames, 0, SyncMarker::kBrightLuma);
    ASSERT_TRUE(beforePicture.has_value());
    const TimelineAnchor anchor(before->pictureFromNs, *beforePicture);
    const auto systemAfterPicture =
        findBrightening(frames, beforePicture->firstBrightSeconds + 0.1, SyncMarker::kBrightLuma);
    ASSERT_TRUE(systemAfterPicture.has_value());
    const auto microphoneAfterPicture =
        findBrightening(frames, systemAfterPicture->firstBrightSeconds + 0.1, SyncMarker::kBrightLuma);
    ASSERT_TRUE(systemAfterPicture && microphoneAfterPicture);
    // The picture goes on where it stopped: the paused span is gone from the video.
    expectChangeAt(*systemAfterPicture, anchor, systemAfter->pictureFromNs, "first marker after the pause", pausedNs);
    expectChangeAt(*microphoneAfterPicture, anchor, microphoneAfter->pictureFromNs, "second marker after the pause",
                   pausedNs);

    const auto inlineAudio = decodeAudioOnTimeline(files_.file("video.mp4"));
    const auto systemFile = decodeAudioOnTimeline(files_.file("system.m4a"));
    const auto microphoneFile = decodeAudioOnTimeline(files_.file("microphone.m4a"));
    ASSERT_TRUE(inlineAudio && systemFile && microphoneFile);
    for (const auto* audio : {&*inlineAudio, &*systemFile}) {
        const std::string track = audio == &*inlineAudio ? "inline track" : "system-audio file";
        expectMarkerInSync(*audio, track + " before the pause", beforePicture);
        expectMarkerInSync(*audio, track + " after the pause", systemAfterPicture);
        // The tones played while paused: nothing between the two markers but silence.
        EXPECT_LT(
            audio->peakBetween(beforePicture->firstBrightSeconds + 0.3, systemAfterPicture->lastDarkSeconds - 0.05),
            kSilencePeak)
            << track << ": " << audio->describeSounds();
    }
    expectMarkerInSync(*microphoneFile, "microphone file after the pause", microphoneAfterPicture);
    EXPECT_LT(microphoneFile->peakBetween(0, microphoneAfterPicture->lastDarkSeconds - 0.05), kSilencePeak)
        << microphoneFile->describeSounds();

    // Every track is shorter than the time recorded by the paused span. (Measured from the marker
    // after the pause: the span cut is the pause plus the wait for the first frame after the resume.)
    const double expectedEnd =
        TimelineAnchor(systemAfter->pictureFromNs, *systemAfterPicture).seconds(run->stopSentNs());
    const auto video = testsupport::probeMedia(files_.file("video.mp4"));
    ASSERT_TRUE(video && video->firstOfType("video"));
    const double videoEnd = streamEnd(*video->firstOfType("video"));
    std::cout << "[ measured ] paused " << pausedNs / 1e9 << " s; video ends " << (videoEnd - expectedEnd) * 1000
              << " ms after stop was sent\n";
    EXPECT_GT(videoEnd, expectedEnd - kPlacementToleranceSeconds);
    EXPECT_LT(videoEnd, expectedEnd + kStopLatencySeconds);
    expectTracksEndTogether({"system.m4a"});
    expectTracksEndTogether({"microphone.m4a"}, kOwnStreamEndToleranceSeconds);
}

// What the screen shows only while the recording is paused never reaches the file, even when the
// resume comes right after it went away: frames grabbed just before are still on their way then.
TEST_F(PauseTest, AScreenShownOnlyWhilePausedNeverReachesTheFile) {
    constexpr int kCycles = 20;
    auto run = RecordingRun::launch(*desktop_, audioRequest(files_, false, false));
    ASSERT_TRUE(run->waitUntilStarted()) << run->transcript();
    // Shown while recording, so that the file proves the marker is seen where it is looked for.
    ASSERT_TRUE(marker_->flash());
    waitFor(200ms);
    ASSERT_TRUE(marker_->darken());
    waitFor(200ms);
    for (int cycle = 0; cycle < kCycles; ++cycle) {
        ASSERT_TRUE(run->pause()) << run->transcript();
        ASSERT_TRUE(marker_->flash());
        waitFor(40ms);  // a few frames are grabbed showing it
        ASSERT_TRUE(marker_->darken());
        ASSERT_TRUE(run->resume()) << run->transcript();
        waitFor(60ms);
    }
    ASSERT_EQ(run->stop(), 0) << run->transcript();

    const auto frames = markerTimeline(files_.file("video.mp4"));
    const auto shownWhileRecording = findBrightening(frames, 0, SyncMarker::kBrightLuma);
    ASSERT_TRUE(shownWhileRecording.has_value()) << "the marker shown while recording is not in the file";
    const auto afterIt = std::find_if(frames.begin(), frames.end(), [&](const FrameLuma& frame) {
        return frame.seconds > shownWhileRecording->firstBrightSeconds && frame.luma <= SyncMarker::kBrightLuma;
    });
    std::vector<double> leaked;
    for (auto frame = afterIt; frame != frames.end(); ++frame) {
        if (frame->luma > SyncMarker::kBrightLuma) leaked.push_back(frame->seconds);
    }
    EXPECT_NE(afterIt, frames.end()) << "the marker never went dark again";
    EXPECT_TRUE(leaked.empty()) << leaked.size() << " frames show the paused screen, the first at " << leaked.front()
                                << " s";
}

TEST_F(PauseTest, TwoHundredQuickPausesLeaveAudioAndVideoEndingTogether) {
    constexpr int kCycles = 200;
    auto run = RecordingRun::launch(*desktop_, audioRequest(files_, true, false));
    ASSERT_TRUE(run->waitUntilStarted()) << run->transcript();
    // A tone all the way through, so that every resume cuts into sound, not silence.
    systemPlayer_->playTone(kSystemToneHz, 20s, 0.3f);
    waitFor(300ms);
    for (int cycle = 0; cycle < kCycles; ++cycle) {
        run->send("pause");
        waitFor(20ms);
        run->send("resume");
        waitFor(20ms);
    }
    int paused = 0, resumed = 0;
    while (paused + resumed < 2 * kCycles) {
        const auto line = run->readLine(10s);
        ASSERT_TRUE(line.has_value()) << paused << " pauses and " << resumed << " resumes confirmed; "
                                      << run->transcript();
        paused += *line == "Recording paused";
        resumed += *line == "Recording resumed";
    }
    EXPECT_EQ(paused, kCycles);
    EXPECT_EQ(resumed, kCycles);
    waitFor(500ms);
    ASSERT_EQ(run->stop(), 0) << run->transcript();

    std::string errors;
    EXPECT_TRUE(testsupport::decodesCleanly(files_.file("video.mp4"), &errors)) << errors;
    EXPECT_TRUE(testsupport::decodesCleanly(files_.file("system.m4a"), &errors)) << errors;
    expectTracksEndTogether({"system.m4a"});
}

}  // namespace
}  // namespace e2eaudio
