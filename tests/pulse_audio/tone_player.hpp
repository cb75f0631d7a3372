#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

namespace pulsetest {

// Plays tone bursts into one sink of the sound server in the environment, and says when each
// burst will be heard on the host clock (CLOCK_MONOTONIC): the reference that captured audio is
// judged against. Between bursts it plays silence, so the sink keeps running at low latency.
class TonePlayer {
public:
    // Throws std::runtime_error when the server or the sink cannot be used. A short playback buffer
    // keeps the play-out moment close to the write and well measured; a long one keeps an endless
    // tone whole when this process is starved of the processor.
    static std::unique_ptr<TonePlayer> open(const std::string& sinkName,
                                            std::chrono::microseconds bufferLength = kShortBuffer);
    static constexpr std::chrono::microseconds kShortBuffer{10'000};
    ~TonePlayer();

    // Queues a burst of a sine tone; returns the host time (ns) at which its first sample plays.
    int64_t playTone(double frequencyHz, std::chrono::milliseconds length, float amplitude = 0.5f);
    // From now on the sink hears an endless sine tone instead of silence between bursts, its phase
    // running on without a break for as long as the player lives.
    void playContinuousTone(double frequencyHz, float amplitude = 0.5f);

    class Impl;

private:
    explicit TonePlayer(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

// The host time (ns) of the first sample in interleaved stereo `samples` whose magnitude reaches
// `threshold`, for a buffer starting at `startNs`; -1 when there is none.
int64_t findOnset(const float* samples, size_t frameCount, int64_t startNs, float threshold = 0.1f);

}  // namespace pulsetest
