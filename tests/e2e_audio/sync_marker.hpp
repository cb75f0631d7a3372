#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "tests/pulse_audio/tone_player.hpp"
#include "tests/support/desktop/test_desktop.hpp"

namespace e2eaudio {

// Something a viewer sees and hears at once: a tone burst into a sink and, at the moment its first
// sample plays, a window on the screen turning from dark to bright. Where the recording puts the two
// tells whether its sound and picture are in sync.
class SyncMarker {
public:
    // The window's client area, in screen pixels (the desktop runs without a window manager, so the
    // window sits exactly there).
    static constexpr int kWindowX = 100, kWindowY = 100, kWindowSize = 200;
    // The area a test reads the window's brightness from.
    static constexpr int kProbeX = 180, kProbeY = 180, kProbeSize = 16;
    // Mean luma between the dark (about 20) and the bright (about 230) state.
    static constexpr double kBrightLuma = 128;

    // Shows the dark window on `desktop`. Throws std::runtime_error when it does not appear.
    explicit SyncMarker(const testsupport::TestDesktop& desktop);
    ~SyncMarker();

    struct Moment {
        int64_t soundNs = 0;        // host time at which the burst's first sample played
        int64_t pictureFromNs = 0;  // the window changed after this host time...
        int64_t pictureByNs = 0;    // ...and before this one
    };
    // Plays a burst of `frequencyHz` through `player` and turns the window bright as it starts.
    std::optional<Moment> fire(pulsetest::TonePlayer& player, double frequencyHz,
                               std::chrono::milliseconds length = std::chrono::milliseconds(200));
    // Turns the window dark again; false when the window did not confirm.
    bool darken();
    // Only a window change, no sound: the host time by which the window turned bright.
    std::optional<int64_t> flash();

private:
    bool setColour(const std::string& colour);

    std::unique_ptr<testsupport::ChildProcess> window_;
};

// Opens a tone player on `sink` of the desktop's sound server. The player finds the server through
// this process's environment, so the desktop's PulseAudio variables are set here.
std::unique_ptr<pulsetest::TonePlayer> openTonePlayer(
    const testsupport::TestDesktop& desktop, const std::string& sink,
    std::chrono::microseconds bufferLength = pulsetest::TonePlayer::kShortBuffer);

}  // namespace e2eaudio
