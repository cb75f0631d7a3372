#include "tests/e2e_audio/sync_marker.hpp"

#include <cstdlib>
#include <stdexcept>
#include <thread>

#include "tests/e2e_audio/recording_run.hpp"
#include "tests/support/desktop/test_programs.hpp"

namespace e2eaudio {

namespace {

constexpr auto kWindowTimeout = std::chrono::seconds(10);
const std::string kDark = "141414";
const std::string kBright = "E6E6E6";

}  // namespace

SyncMarker::SyncMarker(const testsupport::TestDesktop& desktop) {
    const std::string size = std::to_string(kWindowSize);
    window_ = testsupport::ChildProcess::spawn(
        {testsupport::testProgramPath("test-window"), "--x", std::to_string(kWindowX), "--y", std::to_string(kWindowY),
         "--width", size, "--height", size, "--color", kDark},
        desktop.environment());
    const auto ready = window_->readStdoutLine(kWindowTimeout);
    if (!ready || ready->rfind("READY ", 0) != 0)
        throw std::runtime_error("the marker window did not appear: " + window_->stderrSoFar());
}

SyncMarker::~SyncMarker() = default;

bool SyncMarker::setColour(const std::string& colour) {
    window_->writeStdin("color " + colour + "\n");
    return window_->waitForStdoutLine("OK", kWindowTimeout);
}

std::optional<SyncMarker::Moment> SyncMarker::fire(pulsetest::TonePlayer& player, double frequencyHz,
                                                   std::chrono::milliseconds length) {
    Moment moment;
    moment.soundNs = player.playTone(frequencyHz, length);
    // The burst is queued a playback latency ahead (about 10 ms); the picture changes when it is heard.
    while (hostNowNs() < moment.soundNs) std::this_thread::sleep_for(std::chrono::microseconds(200));
    moment.pictureFromNs = hostNowNs();
    if (!setColour(kBright)) return std::nullopt;
    moment.pictureByNs = hostNowNs();
    return moment;
}

bool SyncMarker::darken() { return setColour(kDark); }

std::optional<int64_t> SyncMarker::flash() {
    if (!setColour(kBright)) return std::nullopt;
    return hostNowNs();
}

std::unique_ptr<pulsetest::TonePlayer> openTonePlayer(const testsupport::TestDesktop& desktop,
                                                      const std::string& sink, std::chrono::microseconds bufferLength) {
    for (const auto& [name, value] : desktop.environment()) ::setenv(name.c_str(), value.c_str(), 1);
    return pulsetest::TonePlayer::open(sink, bufferLength);
}

}  // namespace e2eaudio
