// Records N minutes (argument, default 60) of a 1920x1080 desktop with moving content and a
// continuous tone playing as system audio, and prints:
//   - the recorder's resident memory every minute, and its growth after the first minute;
//   - where each track ends: the video, the video file's audio, the separate system-audio file;
//   - the sync of a marker (a tone burst played as a window turns bright) near the start and near
//     the end: how far the sound is from the picture change, and how that changed over the run.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e_audio/media_timeline.hpp"
#include "tests/e2e_audio/recording_run.hpp"
#include "tests/e2e_audio/sync_marker.hpp"
#include "tests/support/desktop/test_programs.hpp"

namespace {

using namespace std::chrono_literals;
using namespace e2eaudio;

constexpr double kBurstHz = 1000.0;
// The continuous tone stays below the onset threshold (0.1) that finds the bursts.
constexpr const char* kContinuousTone = "300";
constexpr const char* kContinuousVolume = "0.05";
// How far before each marker the analysis starts decoding.
constexpr double kLeadSeconds = 3.0;

// The resident memory of `pid` in kB (VmRSS), 0 when unknown.
long residentKb(int pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return 0;
}

struct Marker {
    SyncMarker::Moment moment;
    double lastDarkSeconds = 0;  // the picture changed after this frame...
    double pictureSeconds = 0;   // ...and shows in this one
    double soundSeconds = 0;
};

// Finds a marker fired at `moment` whose picture change is expected near `expectedSeconds`; on
// failure, says which part of it could not be found.
std::optional<std::string> locate(const std::string& video, const std::string& audioFile, double expectedSeconds,
                                  Marker& marker, double& systemFileSoundSeconds) {
    const double from = std::max(0.0, expectedSeconds - kLeadSeconds);
    const auto frames = lumaTimeline(video, SyncMarker::kProbeX, SyncMarker::kProbeY, SyncMarker::kProbeSize,
                                     SyncMarker::kProbeSize, from);
    if (!frames) return "the video cannot be decoded from " + std::to_string(from) + " s";
    const auto picture = findBrightening(*frames, from, SyncMarker::kBrightLuma);
    if (!picture) {
        double brightest = 0;
        for (const auto& frame : *frames) brightest = std::max(brightest, frame.luma);
        return "no frame of " + std::to_string(frames->size()) + " decoded from " + std::to_string(from) +
               " s shows the marker bright (brightest probe luma " + std::to_string(brightest) + ")";
    }
    marker.lastDarkSeconds = picture->lastDarkSeconds;
    marker.pictureSeconds = picture->firstBrightSeconds;
    const auto inlineAudio = decodeAudioOnTimeline(video, 0, from);
    const auto systemFile = decodeAudioOnTimeline(audioFile, 0, from);
    if (!inlineAudio || !systemFile) return std::string("the audio cannot be decoded");
    const auto inlineOnset =
        inlineAudio->onsetBetween(marker.pictureSeconds - from - 0.5, marker.pictureSeconds - from + 0.5);
    const auto fileOnset =
        systemFile->onsetBetween(marker.pictureSeconds - from - 0.5, marker.pictureSeconds - from + 0.5);
    if (!inlineOnset || !fileOnset)
        return "the picture changed at " + std::to_string(marker.pictureSeconds) +
               " s but no tone burst starts within 0.5 s of it (inline: " + inlineAudio->describeSounds() +
               "; system-audio file: " + systemFile->describeSounds() + ")";
    marker.soundSeconds = from + *inlineOnset;
    systemFileSoundSeconds = from + *fileOnset;
    return std::nullopt;
}

}  // namespace

int main(int argc, char** argv) {
    const int minutes = argc > 1 ? std::atoi(argv[1]) : 60;
    if (minutes < 2) {
        std::fprintf(stderr, "usage: soak_bench [minutes, at least 2; default 60]\n");
        return 2;
    }
    testsupport::DesktopOptions options;
    options.windowManager = false;
    options.pulseAudio = true;
    auto desktop = testsupport::TestDesktop::start(options);
    SyncMarker marker(*desktop);
    auto burstPlayer = openTonePlayer(*desktop, "sysout");
    auto moving = testsupport::ChildProcess::spawn({testsupport::testProgramPath("moving-picture"), "--x", "400", "--y",
                                                    "100", "--width", "1280", "--height", "720"},
                                                   desktop->environment());
    if (!moving->readStdoutLine(10s)) {
        std::fprintf(stderr, "moving-picture did not start: %s\n", moving->stderrSoFar().c_str());
        return 1;
    }
    const std::string toneSeconds = std::to_string(minutes * 60 + 60);
    auto tone = testsupport::ChildProcess::spawn(
        {"/bin/sh", "-c",
         "sox -n -t raw -r 48000 -c 1 -e float -b 32 - synth " + toneSeconds + " sine " + kContinuousTone + " vol " +
             kContinuousVolume + " | pacat -d sysout --rate 48000 --channels 1 --format float32le --latency-msec 20"},
        desktop->environment());

    TemporaryDirectory files;
    auto run = RecordingRun::launch(*desktop, audioRequest(files, true, false));
    if (!run->waitUntilStarted()) {
        std::fprintf(stderr, "the recording did not start:\n%s\n", run->transcript().c_str());
        return 1;
    }
    const auto startedAt = std::chrono::steady_clock::now();
    std::printf("recording %d minutes to %s, recorder pid %d\n", minutes, files.path().c_str(), run->pid());
    std::fflush(stdout);

    auto fire = [&] {
        auto moment = marker.fire(*burstPlayer, kBurstHz);
        std::this_thread::sleep_for(500ms);
        marker.darken();
        return moment;
    };
    std::this_thread::sleep_for(20s);
    const auto firstMoment = fire();

    std::vector<long> rssKb;
    for (int minute = 1; minute <= minutes; ++minute) {
        std::this_thread::sleep_until(startedAt + std::chrono::minutes(minute) - (minute == minutes ? 10s : 0s));
        rssKb.push_back(residentKb(run->pid()));
        std::printf("minute %d: resident memory %ld kB\n", minute, rssKb.back());
        std::fflush(stdout);
    }
    const auto lastMoment = fire();
    std::this_thread::sleep_for(3s);
    const auto status = run->stop(std::chrono::minutes(2));
    std::printf("stop: exit status %d\n", status.value_or(-1));
    if (!firstMoment || !lastMoment || status != 0) {
        std::fprintf(stderr, "the run failed:\n%s\n", run->transcript().c_str());
        return 1;
    }

    const double growth =
        100.0 * static_cast<double>(rssKb.back() - rssKb.front()) / static_cast<double>(rssKb.front());
    std::printf("resident memory after minute 1: %ld kB, at the end: %ld kB, growth %.2f %%\n", rssKb.front(),
                rssKb.back(), growth);

    const std::string video = files.file("video.mp4");
    const std::string systemAudio = files.file("system.m4a");
    const auto videoInfo = testsupport::probeMedia(video);
    const auto audioInfo = testsupport::probeMedia(systemAudio);
    if (!videoInfo || !audioInfo || !videoInfo->firstOfType("video") || !videoInfo->firstOfType("audio") ||
        !audioInfo->firstOfType("audio")) {
        std::fprintf(stderr, "the files cannot be probed\n");
        return 1;
    }
    const double videoEnd = streamEnd(*videoInfo->firstOfType("video"));
    const double inlineEnd = streamEnd(*videoInfo->firstOfType("audio"));
    const double fileEnd = streamEnd(*audioInfo->firstOfType("audio"));
    std::printf("video ends at %.4f s; inline audio ends %+.1f ms from it; system-audio file %+.1f ms\n", videoEnd,
                (inlineEnd - videoEnd) * 1000, (fileEnd - videoEnd) * 1000);

    // The first marker's picture anchors host time to the timeline; the last one is looked for where
    // the time that passed puts it.
    Marker first{*firstMoment}, last{*lastMoment};
    double firstFileSound = 0, lastFileSound = 0;
    const double firstExpected = static_cast<double>(firstMoment->pictureFromNs - run->startedNs()) / 1e9;
    if (const auto failure = locate(video, systemAudio, firstExpected, first, firstFileSound)) {
        std::fprintf(stderr, "the first marker was not found near %.3f s: %s\n", firstExpected, failure->c_str());
        return 1;
    }
    const double lastExpected =
        first.pictureSeconds + static_cast<double>(lastMoment->pictureFromNs - firstMoment->pictureFromNs) / 1e9;
    if (const auto failure = locate(video, systemAudio, lastExpected, last, lastFileSound)) {
        std::fprintf(stderr, "the last marker was not found near %.3f s: %s\n", lastExpected, failure->c_str());
        return 1;
    }
    std::printf(
        "marker at %.3f s (frame before it at %.3f s): picture - sound %+.1f ms (inline), %+.1f ms "
        "(system-audio file)\n",
        first.pictureSeconds, first.lastDarkSeconds, (first.pictureSeconds - first.soundSeconds) * 1000,
        (first.pictureSeconds - firstFileSound) * 1000);
    std::printf(
        "marker at %.3f s (frame before it at %.3f s): picture - sound %+.1f ms (inline), %+.1f ms "
        "(system-audio file); picture %+.1f ms from where the host clock puts it\n",
        last.pictureSeconds, last.lastDarkSeconds, (last.pictureSeconds - last.soundSeconds) * 1000,
        (last.pictureSeconds - lastFileSound) * 1000, (last.pictureSeconds - lastExpected) * 1000);
    std::printf("audio-video drift over the run: %+.1f ms (a video frame is 16.7 ms)\n",
                ((last.pictureSeconds - last.soundSeconds) - (first.pictureSeconds - first.soundSeconds)) * 1000);
    std::string errors;
    std::printf("video decodes cleanly: %s\n", testsupport::decodesCleanly(video, &errors) ? "yes" : errors.c_str());
    return 0;
}
