// The video file's sound does not depend on how fast its pictures are encoded: with the recorder
// confined to one busy processor, its encoder manages far fewer than 60 frames a second, and the
// sound in the video file must still be as complete as in the separate audio file.
#include <filesystem>

#include "tests/e2e_audio/audio_desktop_test.hpp"

namespace e2eaudio {
namespace {

using namespace std::chrono_literals;

// Silence that the video file's track may have beyond the separate file's: a couple of buffers.
constexpr double kExtraQuietToleranceSeconds = 0.05;

using StarvedEncoderTest = AudioDesktopTest;

TEST_F(StarvedEncoderTest, TheVideoFileKeepsAllTheSound) {
    // A busy loop on the one processor the recorder may use takes half of it away.
    auto hog = testsupport::ChildProcess::spawn({"taskset", "-c", "0", "/bin/sh", "-c", "while :; do :; done"});
    auto run = RecordingRun::launch(*desktop_, audioRequest(files_, true, false), {"taskset", "-c", "0"});
    ASSERT_TRUE(run->waitUntilStarted(30s)) << run->transcript();
    systemPlayer_->playTone(kSystemToneHz, 10s, 0.3f);
    waitFor(6s);
    ASSERT_EQ(run->stop(std::chrono::seconds(60)), 0) << run->transcript();
    hog.reset();

    const auto inlineAudio = decodeAudioOnTimeline(files_.file("video.mp4"));
    const auto systemFile = decodeAudioOnTimeline(files_.file("system.m4a"));
    ASSERT_TRUE(inlineAudio && systemFile);
    const auto video = testsupport::probeMedia(files_.file("video.mp4"));
    ASSERT_TRUE(video && video->firstOfType("video"));
    std::cout << "[ measured ] " << video->firstOfType("video")->frameCount << " frames in "
              << streamEnd(*video->firstOfType("video")) << " s; quiet: video file " << inlineAudio->quietSeconds()
              << " s, system-audio file " << systemFile->quietSeconds() << " s\n";
    EXPECT_LE(inlineAudio->quietSeconds(), systemFile->quietSeconds() + kExtraQuietToleranceSeconds)
        << "video file: " << inlineAudio->describeSounds() << "\nsystem-audio file: " << systemFile->describeSounds();
    expectTracksEndTogether({"system.m4a"});
}

}  // namespace
}  // namespace e2eaudio
