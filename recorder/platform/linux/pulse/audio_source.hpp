#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "common/error.hpp"
#include "recorder/platform/sample_buffer.hpp"
#include "recorder/platform/system_services.hpp"

namespace recorder::linux_backend {

// Receives each captured audio buffer: 48000 Hz, 2 channels, float, its presentation time the host
// time of its first sample. Called on the audio thread, one buffer at a time.
using AudioHandler = std::function<void(std::shared_ptr<platform::SampleBuffer>)>;

enum class AudioSourceKind { systemAudio, microphone };

// One live capture from the sound server.
class AudioSource {
public:
    virtual ~AudioSource() = default;
    // Asks the capture to end once it has delivered what was captured before `hostNs` (host clock,
    // nanoseconds), which the sound server hands over a little later; returns at once. A later
    // `stop` waits for that, within a bound, instead of cutting it short.
    virtual void finishAt(int64_t hostNs) = 0;
    // No handler call starts after this returns.
    virtual void stop() = 0;
};

// System audio records the monitor of the default output; the microphone records `deviceID`
// (a source name) or the default input when none is given.
common::Result<std::unique_ptr<AudioSource>> startAudioSource(AudioSourceKind kind,
                                                              const std::optional<std::string>& deviceID,
                                                              AudioHandler handler);

// True when a sound server answers.
bool audioServerAnswers();

// Inputs that can capture a microphone (not monitors): description as name, source name as identifier.
std::vector<platform::AudioCaptureDevice> listMicrophones();

// True when the sound server has a default output, whose monitor system audio records.
bool soundOutputAvailable();

}  // namespace recorder::linux_backend
