#include "recorder/platform/linux/pulse/audio_source.hpp"

namespace recorder::linux_backend {

common::Result<std::unique_ptr<AudioSource>> startAudioSource(AudioSourceKind, const std::optional<std::string>&,
                                                              AudioHandler) {
    return common::Error{"PulseAudio", 1, "audio capture is not available yet"};
}

bool audioServerAnswers() { return false; }

std::vector<platform::AudioCaptureDevice> listMicrophones() { return {}; }

}  // namespace recorder::linux_backend
