// Sound and picture of a recording line up: a tone into the system output and a tone into the
// microphone, each played as a window on the screen changes, land in the right files at the moment
// the picture changes.
#include "tests/e2e_audio/audio_desktop_test.hpp"

namespace e2eaudio {
namespace {

using namespace std::chrono_literals;

using AudioSyncTest = AudioDesktopTest;

TEST_F(AudioSyncTest, EachToneLandsInItsOwnFilesInSyncWithThePicture) {
    auto run = RecordingRun::launch(*desktop_, audioRequest(files_, true, true));
    ASSERT_TRUE(run->waitUntilStarted()) << run->transcript();
    waitFor(1000ms);
    const auto systemMoment = marker_->fire(*systemPlayer_, kSystemToneHz);
    ASSERT_TRUE(systemMoment);
    waitFor(400ms);
    ASSERT_TRUE(marker_->darken());
    waitFor(400ms);
    const auto microphoneMoment = marker_->fire(*microphonePlayer_, kMicrophoneToneHz);
    ASSERT_TRUE(microphoneMoment);
    waitFor(400ms);
    ASSERT_TRUE(marker_->darken());
    waitFor(400ms);
    ASSERT_EQ(run->stop(), 0) << run->transcript();

    const auto frames = markerTimeline(files_.file("video.mp4"));
    ASSERT_FALSE(frames.empty());
    // The first change is looked for from the start: the recording may have begun well before
    // "Recording started" was printed.
    const auto systemPicture = findBrightening(frames, 0, SyncMarker::kBrightLuma);
    ASSERT_TRUE(systemPicture.has_value()) << "the window never turned bright";
    const TimelineAnchor anchor(systemMoment->pictureFromNs, *systemPicture);
    const double microphoneAt = anchor.seconds(microphoneMoment->soundNs);
    const auto microphonePicture = findBrightening(frames, microphoneAt - 0.2, SyncMarker::kBrightLuma);
    std::cout << "[ measured ] first frame captured about "
              << (timelineSeconds(run->startedNs(), systemMoment->pictureFromNs) + systemPicture->firstBrightSeconds) *
                     1000
              << " ms before \"Recording started\"\n";

    const auto inlineAudio = decodeAudioOnTimeline(files_.file("video.mp4"));
    const auto systemFile = decodeAudioOnTimeline(files_.file("system.m4a"));
    const auto microphoneFile = decodeAudioOnTimeline(files_.file("microphone.m4a"));
    ASSERT_TRUE(inlineAudio && systemFile && microphoneFile);

    expectMarkerInSync(*systemFile, "system-audio file", systemPicture);
    expectMarkerInSync(*inlineAudio, "inline track", systemPicture);
    const auto microphoneOnset = expectMarkerInSync(*microphoneFile, "microphone file", microphonePicture);
    // The second tone is where the time that passed since the first puts it.
    if (microphoneOnset) {
        EXPECT_NEAR(*microphoneOnset, microphoneAt, kPlacementToleranceSeconds);
    }
    // Each sound is only where it belongs: with both sources the video file carries system audio alone.
    const double systemAt = systemPicture->firstBrightSeconds;
    EXPECT_LT(microphoneFile->peakBetween(systemAt - 0.1, systemAt + 0.3), kSilencePeak)
        << microphoneFile->describeSounds();
    EXPECT_LT(systemFile->peakBetween(microphoneAt - 0.1, microphoneAt + 0.3), kSilencePeak)
        << systemFile->describeSounds();
    EXPECT_LT(inlineAudio->peakBetween(microphoneAt - 0.1, microphoneAt + 0.3), kSilencePeak)
        << inlineAudio->describeSounds();
}

}  // namespace
}  // namespace e2eaudio
