// Records system audio from a private sound server for N minutes (argument, default 10) while a
// 100 ms tone plays every two seconds at a host time known from the player's own latency. Each
// burst's onset is found in the captured buffers; the difference between where the buffers put it
// and when it played is the timestamp error. Its change from the first minute to the last is the
// drift of the timestamps against the host clock.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <numeric>
#include <thread>
#include <vector>

#include "common/host_clock.hpp"
#include "recorder/platform/linux/pulse/audio_source.hpp"
#include "tests/pulse_audio/tone_player.hpp"
#include "tests/support/desktop/test_desktop.hpp"

namespace {

using namespace std::chrono_literals;

constexpr auto kBurstInterval = 2s;
constexpr auto kBurstLength = 100ms;
constexpr float kOnsetThreshold = 0.1f;
// Quiet needed before a loud sample counts as a new onset (bursts are 2 s apart).
constexpr int64_t kQuietBeforeOnsetNs = 500'000'000;
constexpr int64_t kMinute = 60'000'000'000;

int64_t nowNs() { return common::hostTimeNow().nanoseconds(); }

// What the capture handler learns, kept small: a ten-minute capture is not stored.
class CaptureAnalysis {
public:
    void add(const recorder::platform::SampleBuffer& buffer) {
        const std::lock_guard lock(mutex_);
        const auto& audio = *buffer.audioData();
        const int64_t startNs = buffer.presentationTimeStamp().nanoseconds();
        const auto frames = static_cast<int64_t>(audio.frameCount());
        if (buffers_ == 0) firstStartNs_ = startNs;
        if (buffers_ > 0) {
            const int64_t gapNs = startNs - nextStartNs_;
            largestGapNs_ = std::max(largestGapNs_, std::abs(gapNs));
            if (std::abs(gapNs) > 1'000'000) ++discontinuities_;
        }
        ++buffers_;
        totalFrames_ += frames;
        nextStartNs_ = startNs + buffer.duration().nanoseconds();
        for (int64_t frame = 0; frame < frames; ++frame) {
            const float left = std::abs(audio.samples[static_cast<size_t>(frame) * 2]);
            const float right = std::abs(audio.samples[static_cast<size_t>(frame) * 2 + 1]);
            if (std::max(left, right) < kOnsetThreshold) continue;
            const int64_t atNs = startNs + frame * 1'000'000'000 / 48000;
            if (atNs - lastLoudNs_ > kQuietBeforeOnsetNs) onsets_.push_back(atNs);
            lastLoudNs_ = atNs;
        }
    }

    struct Summary {
        std::vector<int64_t> onsets;
        int64_t buffers, discontinuities, largestGapNs, totalFrames, firstStartNs, endNs;
    };
    Summary summary() const {
        const std::lock_guard lock(mutex_);
        return {onsets_, buffers_, discontinuities_, largestGapNs_, totalFrames_, firstStartNs_, nextStartNs_};
    }

private:
    mutable std::mutex mutex_;
    std::vector<int64_t> onsets_;
    int64_t lastLoudNs_ = 0;
    int64_t buffers_ = 0;
    int64_t discontinuities_ = 0;
    int64_t largestGapNs_ = 0;
    int64_t totalFrames_ = 0;
    int64_t firstStartNs_ = 0;
    int64_t nextStartNs_ = 0;
};

double meanMs(const std::vector<double>& values) {
    if (values.empty()) return NAN;
    return std::accumulate(values.begin(), values.end(), 0.0) / static_cast<double>(values.size());
}

}  // namespace

int main(int argc, char** argv) {
    const double minutes = argc > 1 ? std::atof(argv[1]) : 10.0;
    if (!(minutes > 0.0)) {
        std::fprintf(stderr, "usage: %s [minutes]\n", argv[0]);
        return 2;
    }
    testsupport::DesktopOptions options;
    options.windowManager = false;
    options.pulseAudio = true;
    auto desktop = testsupport::TestDesktop::start(options);
    for (const auto& [name, value] : desktop->environment()) setenv(name.c_str(), value.c_str(), 1);

    CaptureAnalysis analysis;
    auto source = recorder::linux_backend::startAudioSource(
        recorder::linux_backend::AudioSourceKind::systemAudio, std::nullopt,
        [&analysis](std::shared_ptr<recorder::platform::SampleBuffer> buffer) { analysis.add(*buffer); });
    if (!source) {
        std::fprintf(stderr, "cannot capture system audio: %s\n", source.error().message.c_str());
        return 1;
    }
    auto player = pulsetest::TonePlayer::open("sysout");
    std::printf("capturing system audio for %.1f minutes, a %lld ms tone every %lld s\n", minutes,
                static_cast<long long>(kBurstLength.count()), static_cast<long long>(kBurstInterval.count()));
    std::fflush(stdout);

    std::vector<int64_t> played;
    const int64_t startNs = nowNs();
    const auto endNs = startNs + static_cast<int64_t>(minutes * static_cast<double>(kMinute));
    auto nextBurst = std::chrono::steady_clock::now() + 1s;
    while (nowNs() < endNs) {
        std::this_thread::sleep_until(nextBurst);
        played.push_back(player->playTone(1000.0, kBurstLength));
        nextBurst += kBurstInterval;
    }
    std::this_thread::sleep_for(500ms);  // let the last burst come through
    source.value()->stop();
    const auto summary = analysis.summary();

    // Pair each played burst with the detected onset nearest to it.
    std::vector<double> firstMinute, lastMinute, all;
    size_t matched = 0;
    for (const int64_t playedNs : played) {
        const auto nearest = std::min_element(summary.onsets.begin(), summary.onsets.end(), [&](int64_t a, int64_t b) {
            return std::llabs(a - playedNs) < std::llabs(b - playedNs);
        });
        if (nearest == summary.onsets.end() || std::llabs(*nearest - playedNs) > 500'000'000) continue;
        ++matched;
        const double errorMs = static_cast<double>(*nearest - playedNs) / 1e6;
        all.push_back(errorMs);
        if (playedNs - startNs < kMinute) firstMinute.push_back(errorMs);
        if (endNs - playedNs < kMinute) lastMinute.push_back(errorMs);
    }
    const auto [smallest, largest] = std::minmax_element(all.begin(), all.end());
    const double spanSeconds = static_cast<double>(summary.endNs - summary.firstStartNs) / 1e9;
    const double countedSeconds = static_cast<double>(summary.totalFrames) / 48000.0;

    std::printf("bursts played %zu, found %zu (onsets detected %zu)\n", played.size(), matched, summary.onsets.size());
    std::printf("buffers %lld, discontinuities over 1 ms %lld, largest gap or overlap %.3f ms\n",
                static_cast<long long>(summary.buffers), static_cast<long long>(summary.discontinuities),
                static_cast<double>(summary.largestGapNs) / 1e6);
    std::printf("samples delivered %.3f s over a host-clock span of %.3f s (difference %.3f ms)\n", countedSeconds,
                spanSeconds, (countedSeconds - spanSeconds) * 1e3);
    if (all.empty()) {
        std::printf("no burst was found: no drift figure\n");
        return 1;
    }
    std::printf("timestamp error (found - played): first minute %.2f ms, last minute %.2f ms, range %.2f to %.2f ms\n",
                meanMs(firstMinute), meanMs(lastMinute), *smallest, *largest);
    std::printf("drift over %.1f minutes: %.2f ms (one video frame at 60 fps: 16.7 ms)\n", minutes,
                meanMs(lastMinute) - meanMs(firstMinute));
    return 0;
}
