// A sound device that goes away mid-recording costs only its sound: the picture goes on, every audio
// track keeps the timeline with silence, and "stop" finishes files that play.
#include "tests/e2e_audio/audio_desktop_test.hpp"

namespace e2eaudio {
namespace {

using namespace std::chrono_literals;

class DeviceLossTest : public AudioDesktopTest {
protected:
    // Records with a microphone tone, unplugs the microphone, then plays a system tone; checks that
    // the microphone file holds its tone and then silence, and that everything else went on.
    void recordWhileTheMicrophoneIsUnplugged(const nlohmann::json& request);

    void expectFilesDecodeCleanly() {
        for (const char* name : {"video.mp4", "system.m4a", "microphone.m4a"}) {
            std::string errors;
            EXPECT_TRUE(testsupport::decodesCleanly(files_.file(name), &errors)) << name << ": " << errors;
        }
    }
};

void DeviceLossTest::recordWhileTheMicrophoneIsUnplugged(const nlohmann::json& request) {
    auto run = RecordingRun::launch(*desktop_, request);
    ASSERT_TRUE(run->waitUntilStarted()) << run->transcript();
    waitFor(800ms);
    const auto microphoneMoment = marker_->fire(*microphonePlayer_, kMicrophoneToneHz);
    ASSERT_TRUE(microphoneMoment);
    waitFor(300ms);
    ASSERT_TRUE(marker_->darken());
    // The microphone is the remap source over the feed's monitor: unloading it removes the device.
    const auto unload = desktop_->run(
        "pactl unload-module $(pactl list short modules | awk '$2 == \"module-remap-source\" {print $1}')");
    ASSERT_EQ(unload.status, 0) << unload.errorOutput;
    waitFor(1000ms);
    const auto systemMoment = marker_->fire(*systemPlayer_, kSystemToneHz);
    ASSERT_TRUE(systemMoment);
    waitFor(300ms);
    ASSERT_TRUE(marker_->darken());
    waitFor(700ms);
    ASSERT_EQ(run->stop(), 0) << run->transcript();
    EXPECT_EQ(run->standardError(), "");

    const auto frames = markerTimeline(files_.file("video.mp4"));
    const auto microphonePicture = findBrightening(frames, 0, SyncMarker::kBrightLuma);
    ASSERT_TRUE(microphonePicture.has_value());
    const TimelineAnchor anchor(microphoneMoment->pictureFromNs, *microphonePicture);
    const auto systemPicture =
        findBrightening(frames, anchor.seconds(systemMoment->pictureFromNs) - 0.2, SyncMarker::kBrightLuma);
    ASSERT_TRUE(systemPicture.has_value()) << "the video stopped when the microphone went away";
    expectChangeAt(*systemPicture, anchor, systemMoment->pictureFromNs, "marker after the loss");

    const auto microphoneFile = decodeAudioOnTimeline(files_.file("microphone.m4a"));
    const auto systemFile = decodeAudioOnTimeline(files_.file("system.m4a"));
    const auto inlineAudio = decodeAudioOnTimeline(files_.file("video.mp4"));
    ASSERT_TRUE(microphoneFile && systemFile && inlineAudio);
    expectMarkerInSync(*microphoneFile, "microphone file before the loss", microphonePicture);
    expectMarkerInSync(*systemFile, "system-audio file after the loss", systemPicture);
    expectMarkerInSync(*inlineAudio, "inline track after the loss", systemPicture);
    // Silence, not another device's sound: with the microphone gone the server's fallback input is
    // the monitor of the system output, and system audio must not end up in the microphone file.
    EXPECT_LT(microphoneFile->peakBetween(microphonePicture->firstBrightSeconds + 0.3, microphoneFile->seconds()),
              kSilencePeak)
        << microphoneFile->describeSounds();
    expectFilesDecodeCleanly();
    // Silence for a lost device is made as its time passes, in fragments of 10 ms, so a track that
    // ends on silence may stop up to a fragment short of the picture.
    expectTracksEndTogether({"system.m4a", "microphone.m4a"}, kOwnStreamEndToleranceSeconds);
}

TEST_F(DeviceLossTest, AChosenMicrophoneUnpluggedLeavesSilenceAndTheRestGoesOn) {
    auto request = audioRequest(files_, true, true);
    request["microphoneLabel"] = "TestMic";
    recordWhileTheMicrophoneIsUnplugged(request);
}

TEST_F(DeviceLossTest, TheDefaultMicrophoneUnpluggedLeavesSilenceAndTheRestGoesOn) {
    recordWhileTheMicrophoneIsUnplugged(audioRequest(files_, true, true));
}

TEST_F(DeviceLossTest, ALostSoundServerLeavesSilenceAndThePictureGoesOn) {
    auto run = RecordingRun::launch(*desktop_, audioRequest(files_, true, true));
    ASSERT_TRUE(run->waitUntilStarted()) << run->transcript();
    waitFor(800ms);
    const auto systemMoment = marker_->fire(*systemPlayer_, kSystemToneHz);
    ASSERT_TRUE(systemMoment);
    waitFor(300ms);
    ASSERT_TRUE(marker_->darken());
    desktop_->killPulseAudio();
    waitFor(1000ms);
    const auto flashedBy = marker_->flash();
    ASSERT_TRUE(flashedBy);
    waitFor(700ms);
    ASSERT_EQ(run->stop(), 0) << run->transcript();

    const auto frames = markerTimeline(files_.file("video.mp4"));
    const auto systemPicture = findBrightening(frames, 0, SyncMarker::kBrightLuma);
    ASSERT_TRUE(systemPicture.has_value());
    const TimelineAnchor anchor(systemMoment->pictureFromNs, *systemPicture);
    const auto flashPicture = findBrightening(frames, systemPicture->firstBrightSeconds + 0.2, SyncMarker::kBrightLuma);
    ASSERT_TRUE(flashPicture.has_value()) << "the video stopped with the sound server";
    // The flash was on the screen by `flashedBy`: it shows in the frame captured next.
    expectChangeAt(*flashPicture, anchor, *flashedBy, "flash after the loss");

    const auto systemFile = decodeAudioOnTimeline(files_.file("system.m4a"));
    ASSERT_TRUE(systemFile.has_value());
    expectMarkerInSync(*systemFile, "system-audio file before the loss", systemPicture);
    expectFilesDecodeCleanly();
    // Silence for a lost device is made as its time passes, in fragments of 10 ms, so a track that
    // ends on silence may stop up to a fragment short of the picture.
    expectTracksEndTogether({"system.m4a", "microphone.m4a"}, kOwnStreamEndToleranceSeconds);
}

}  // namespace
}  // namespace e2eaudio
