// Sound that plays the whole time is in every audio track the whole time: from the first video
// frame to the stop, without a hole and without a break in the waveform, on an idle machine and on
// one whose processors are both busy.
#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <optional>
#include <utility>

#include "tests/e2e_audio/audio_desktop_test.hpp"
#include "tests/e2e_audio/tone_continuity.hpp"

namespace e2eaudio {
namespace {

using namespace std::chrono_literals;

// Long enough for the start-up, the first seconds and a stretch of steady recording; the
// environment's E2E_AUDIO_TONE_SECONDS records longer, for measuring by hand.
std::chrono::milliseconds recordingLength() {
    const char* seconds = std::getenv("E2E_AUDIO_TONE_SECONDS");
    if (seconds != nullptr && std::atoi(seconds) > 0) return std::chrono::seconds(std::atoi(seconds));
    return 8s;
}

// The sound ends at the stop, the picture up to a frame and the stop's own delay later, and the
// audio tracks are filled to the picture's end: only the sound up to this long before the end of
// the separate system-audio file (which ends where the capture was finished) is judged.
constexpr double kEndMarginSeconds = 0.03;

constexpr std::chrono::microseconds kToneBuffer = 300ms;

enum class Load { idle, twoBusyLoops };

class AudioContinuityTest : public AudioDesktopTest, public ::testing::WithParamInterface<Load> {};

TEST_P(AudioContinuityTest, EveryTrackCarriesTheWholeToneWithoutHolesOrJumps) {
    // Players of their own with long buffers: a player starved beside the busy loops must not
    // break the tone before it reaches the sound server.
    const auto systemTone = openTonePlayer(*desktop_, "sysout", kToneBuffer);
    const auto microphoneTone = openTonePlayer(*desktop_, "micfeed", kToneBuffer);
    systemTone->playContinuousTone(kSystemToneHz);
    microphoneTone->playContinuousTone(kMicrophoneToneHz);
    std::vector<std::unique_ptr<testsupport::ChildProcess>> busyLoops;
    if (GetParam() == Load::twoBusyLoops) {
        for (int i = 0; i < 2; ++i) {
            busyLoops.push_back(testsupport::ChildProcess::spawn({"/bin/sh", "-c", "while :; do :; done"}));
        }
    }
    // The sound server's own record of the two sources, taken beside the recorder with a generous
    // buffer: a break in it is the machine's, not the recorder's.
    std::vector<std::unique_ptr<testsupport::ChildProcess>> controls;
    for (const char* source : {"sysout.monitor", "mic"}) {
        controls.push_back(testsupport::ChildProcess::spawn(
            {"parec", "-d", source, "--rate=48000", "--channels=1", "--format=float32le", "--file-format=wav",
             files_.file(std::string("control-") + source + ".wav")},
            desktop_->environment()));
    }
    // The tone is already playing when the recording starts, so the very first frame has sound.
    waitFor(1s);
    auto run = RecordingRun::launch(*desktop_, audioRequest(files_, true, true));
    ASSERT_TRUE(run->waitUntilStarted(30s)) << run->transcript();
    waitFor(recordingLength());
    ASSERT_EQ(run->stop(60s), 0) << run->transcript();
    for (auto& control : controls) {
        control->sendSignal(SIGINT);
        ASSERT_TRUE(control->waitForExit(10s).has_value());
    }
    busyLoops.clear();
    std::optional<std::string> controlBroken;
    for (const auto& [file, frequencyHz] : {std::pair{std::string("control-sysout.monitor.wav"), kSystemToneHz},
                                            std::pair{std::string("control-mic.wav"), kMicrophoneToneHz}}) {
        const auto control = decodeAudioOnTimeline(files_.file(file), 0, 0, true);
        ASSERT_TRUE(control.has_value()) << file;
        // Its first moments (a monitor starts with a little silence) and its last are parec's own
        // start and stop, a second before the recording and after it.
        const ToneBreaks breaks = findToneBreaks(*control, frequencyHz, 0.5, control->seconds() - 0.1);
        std::cout << "[ measured ] control " << file << ": " << breaks.describe() << "\n";
        if (!breaks.holes.empty() || !breaks.jumps.empty()) controlBroken = file + (": " + breaks.describe());
    }

    const auto video = testsupport::probeMedia(files_.file("video.mp4"));
    ASSERT_TRUE(video && video->firstOfType("video"));
    const double videoEnd = streamEnd(*video->firstOfType("video"));
    const auto systemFile = testsupport::probeMedia(files_.file("system.m4a"));
    ASSERT_TRUE(systemFile && systemFile->firstOfType("audio"));
    const double judgedUntil = std::min(videoEnd, streamEnd(*systemFile->firstOfType("audio"))) - kEndMarginSeconds;
    struct Track {
        std::string name;
        std::string file;
        double frequencyHz;
    };
    std::vector<std::pair<std::string, ToneBreaks>> results;
    for (const Track& track : {Track{"video file's track", "video.mp4", kSystemToneHz},
                               Track{"system-audio file", "system.m4a", kSystemToneHz},
                               Track{"microphone file", "microphone.m4a", kMicrophoneToneHz}}) {
        const auto audio = decodeAudioOnTimeline(files_.file(track.file), 0, 0, true);
        ASSERT_TRUE(audio.has_value()) << track.name;
        results.emplace_back(track.name, findToneBreaks(*audio, track.frequencyHz, 0, judgedUntil));
        std::cout << "[ measured ] " << track.name << " up to " << judgedUntil << " s of " << videoEnd << " s: " << results.back().second.describe()
                  << "\n";
    }
    // A break in the server's own record is the machine's: the recorder cannot be judged then.
    ASSERT_FALSE(controlBroken) << "the sound server itself broke the tone (machine too loaded to judge): "
                                << *controlBroken;
    for (const auto& [name, breaks] : results) {
        EXPECT_TRUE(breaks.holes.empty()) << name << ": " << breaks.describe();
        EXPECT_TRUE(breaks.jumps.empty()) << name << ": " << breaks.describe();
    }
}

INSTANTIATE_TEST_SUITE_P(IdleAndLoaded, AudioContinuityTest, ::testing::Values(Load::idle, Load::twoBusyLoops),
                         [](const auto& info) { return info.param == Load::idle ? "Idle" : "BesideTwoBusyLoops"; });

}  // namespace
}  // namespace e2eaudio
