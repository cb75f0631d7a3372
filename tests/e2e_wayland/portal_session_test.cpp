// The recorder-agent and the desktop's side of a Wayland recording: a missing portal, the restore
// token that spares the user the dialog, the desktop ending the session, and system audio through
// PipeWire's PulseAudio server.

#include "tests/e2e_recorder/video_checks.hpp"
#include "tests/e2e_wayland/wayland_recording.hpp"
#include "tests/support/desktop/media_probe.hpp"
#include "tests/support/desktop/readiness.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

namespace e2ewayland {
namespace {

using testsupport::probeMedia;

// What the portal backend logs when the frontend hands it what a restore token stands for.
constexpr const char* kRestoredLog = "restore data available";

std::string fileText(const std::string& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

// The part of a portal backend log about the first screen-cast session it was asked for.
std::string firstSession(const std::string& log) {
    const std::string opening = "create session method invoked";
    const auto begin = log.find(opening);
    if (begin == std::string::npos) return {};
    const auto next = log.find(opening, begin + opening.size());
    return log.substr(begin, next == std::string::npos ? std::string::npos : next - begin);
}

class PortalSession : public WaylandRecordingTest {};

TEST_F(PortalSession, WithoutAScreenCastPortalRecordingIsNotPermitted) {
    startDesktop({.portal = false});
    showMovingPicture();
    const auto output = outputPath("denied.mp4");
    auto run = startRecorder(e2e_recorder::displayRequest(output));
    const auto outcome = run->finish();
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.err, "SCREEN_RECORDING_PERMISSION_DENIED\n");
    EXPECT_EQ(outcome.out, "");
    EXPECT_FALSE(std::filesystem::exists(output));
}

TEST_F(PortalSession, TheRestoreTokenIsKeptPrivatelyAndSparesTheNextRecordingTheChoice) {
    startDesktop();
    showMovingPicture();
    const auto tokenPath = outputPath("screencast.token");
    const std::string withToken = R"(,"restoreTokenPath":")" + tokenPath + "\"";

    // No token yet: the desktop chooses (here without asking), and the token it returns is kept.
    const auto first = outputPath("first.mp4");
    auto run = startRecorder(e2e_recorder::displayRequest(first, withToken));
    ASSERT_TRUE(run->waitUntilStarted()) << run->process().stderrSoFar();
    stopCleanly(*run, first);
    const std::string firstLog = desktop_->portalBackendLog();
    EXPECT_EQ(firstSession(firstLog).find(kRestoredLog), std::string::npos) << firstLog;
    struct stat token {};
    ASSERT_EQ(::stat(tokenPath.c_str(), &token), 0) << "no token file was written";
    EXPECT_EQ(token.st_mode & 0777, 0600u) << "a token lets anyone with it record the screen";
    EXPECT_EQ(token.st_uid, desktop_->user().uid);
    EXPECT_FALSE(fileText(tokenPath).empty());

    // With the token the portal restores the earlier choice instead of asking again, from the
    // recording's first session on.
    const auto second = outputPath("second.mp4");
    run = startRecorder(e2e_recorder::displayRequest(second, withToken));
    ASSERT_TRUE(run->waitUntilStarted()) << run->process().stderrSoFar();
    stopCleanly(*run, second);
    const std::string secondLog = desktop_->portalBackendLog().substr(firstLog.size());
    EXPECT_NE(firstSession(secondLog).find(kRestoredLog), std::string::npos) << secondLog;
    ASSERT_EQ(::stat(tokenPath.c_str(), &token), 0);
    EXPECT_EQ(token.st_mode & 0777, 0600u);
    EXPECT_FALSE(fileText(tokenPath).empty());
    for (const auto& file : {first, second}) {
        const auto info = probeMedia(file);
        ASSERT_TRUE(info && info->firstOfType("video")) << file;
        EXPECT_EQ(info->firstOfType("video")->width, kScreenWidth);
    }
}

// Records moving content, lets `endSession` take the screencast away, and expects one "Error: "
// line while the recorder keeps running; "stop" then finalises what was recorded.
void expectErrorThenFinalised(RecorderRun& run, const std::string& output, const std::function<void()>& endSession) {
    ASSERT_TRUE(run.waitUntilStarted()) << run.process().stderrSoFar();
    const auto started = Clock::now();
    std::this_thread::sleep_for(1500ms);
    const auto ended = Clock::now();
    endSession();
    const bool reported = testsupport::pollUntil(
        [&] { return run.process().stderrSoFar().find("Error: ") != std::string::npos; }, 20s);
    ASSERT_TRUE(reported) << "nothing said after the session ended: " << run.process().stderrSoFar();
    // The process lives on until told to stop.
    EXPECT_FALSE(run.process().waitForExit(500ms)) << run.process().stderrSoFar();
    const auto outcome = stopCleanly(run, output);
    EXPECT_EQ(occurrences(outcome.err, "Error: "), 1u) << outcome.err;
    EXPECT_EQ(outcome.err.rfind("Error: ", 0), 0u) << outcome.err;

    const auto info = probeMedia(output);
    ASSERT_TRUE(info && info->firstOfType("video")) << output;
    std::string errors;
    EXPECT_TRUE(e2e_recorder::decodesWithoutErrors(output, &errors)) << errors;
    // What was recorded before the desktop ended the session is in the file.
    const double before = std::chrono::duration<double>(ended - started).count();
    EXPECT_GE(info->firstOfType("video")->duration, before - 0.5);
}

TEST_F(PortalSession, ThePortalBackendGoingAwayIsReportedOnceAndStopFinalises) {
    startDesktop();
    showMovingPicture();
    const auto output = outputPath("backend-gone.mp4");
    auto run = startRecorder(e2e_recorder::displayRequest(output));
    expectErrorThenFinalised(*run, output, [&] { desktop_->killPortalBackend(); });
}

TEST_F(PortalSession, PipeWireGoingAwayIsReportedOnceAndStopFinalises) {
    startDesktop();
    showMovingPicture();
    const auto output = outputPath("pipewire-gone.mp4");
    auto run = startRecorder(e2e_recorder::displayRequest(output));
    expectErrorThenFinalised(*run, output, [&] { desktop_->killPipeWire(); });
}

// The frequency of the tone in `samples` (48 kHz): the median length of its loud half-cycles (from
// one zero crossing to the next, reaching `loud` in between), so that dropouts on a busy machine,
// near-silent stretches that cross zero at every sample, do not move it.
double toneFrequency(const std::vector<float>& samples, float loud) {
    std::vector<size_t> halfCycles;
    size_t previous = 0;
    float peak = 0;
    for (size_t i = 1; i < samples.size(); ++i) {
        peak = std::max(peak, std::fabs(samples[i]));
        if ((samples[i - 1] < 0) == (samples[i] < 0)) continue;
        if (previous && peak >= loud) halfCycles.push_back(i - previous);
        previous = i;
        peak = 0;
    }
    if (halfCycles.empty()) return 0;
    std::nth_element(halfCycles.begin(), halfCycles.begin() + halfCycles.size() / 2, halfCycles.end());
    return 48000.0 / (2.0 * static_cast<double>(halfCycles[halfCycles.size() / 2]));
}

TEST_F(PortalSession, SystemAudioComesThroughPipeWiresPulseAudioServer) {
    startDesktop({.pulseAudio = true});
    showMovingPicture();
    const auto output = outputPath("audio.mp4");
    const auto audioOutput = outputPath("audio.m4a");
    auto run = startRecorder(e2e_recorder::displayRequest(
        output, R"(,"capturesSystemAudio":true,"systemAudioOutputPath":")" + audioOutput + "\""));
    ASSERT_TRUE(run->waitUntilStarted()) << run->process().stderrSoFar();
    std::this_thread::sleep_for(500ms);
    // A 440 Hz tone of a second and a half into the default sink. On a starved machine the player
    // falls behind and the sink fills the gaps with silence: the tone then takes longer to play.
    const auto toneStarted = Clock::now();
    auto tone = desktop_->run("sox -q -n -t raw -r 48000 -c 2 -b 16 -e signed - synth 1.5 sine 440 vol 0.5 | "
                              "pacat --raw --rate=48000 --channels=2 --format=s16le -d sysout");
    ASSERT_EQ(tone.status, 0) << tone.errorOutput;
    const double playingSeconds = std::chrono::duration<double>(Clock::now() - toneStarted).count();
    std::this_thread::sleep_for(500ms);
    const auto outcome = stopCleanly(*run, output);
    EXPECT_EQ(outcome.err, "");

    const auto info = probeMedia(audioOutput);
    ASSERT_TRUE(info);
    const auto* audio = info->firstOfType("audio");
    ASSERT_NE(audio, nullptr);
    EXPECT_EQ(audio->codecName, "aac");
    EXPECT_EQ(audio->sampleRate, 48000);
    EXPECT_EQ(audio->channels, 2);
    const auto video = probeMedia(output);
    ASSERT_TRUE(video && video->firstOfType("video"));
    EXPECT_NE(video->firstOfType("audio"), nullptr) << "the video file carries the system audio too";

    const auto samples = testsupport::decodeAudio(audioOutput);
    ASSERT_TRUE(samples && !samples->empty());
    // Where the sound is loud, it is the tone: a second and a half of 440 Hz.
    size_t loudFrom = samples->size(), loudTo = 0;
    for (size_t i = 0; i < samples->size(); ++i)
        if (std::fabs((*samples)[i]) > 0.2f) loudFrom = std::min(loudFrom, i), loudTo = i;
    ASSERT_LT(loudFrom, loudTo) << "the tone is not in the recording";
    const double loudSeconds = double(loudTo - loudFrom) / 48000;
    EXPECT_GE(loudSeconds, 1.4);
    EXPECT_LE(loudSeconds, playingSeconds) << "the tone is longer in the file than it took to play";
    EXPECT_NEAR(toneFrequency(*samples, 0.2f), 440, 5);
    EXPECT_GE(loudFrom, size_t{48000 / 4}) << "the recording began in silence, before the tone";
}

}  // namespace
}  // namespace e2ewayland
