#include "recorder/platform/linux/pulse/audio_source.hpp"

#include <pthread.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "recorder/platform/linux/pulse/capture_session.hpp"

namespace recorder::linux_backend {

namespace {

pulse::CaptureTarget targetFor(AudioSourceKind kind, const std::optional<std::string>& deviceID) {
    if (kind == AudioSourceKind::systemAudio) {
        return {"@DEFAULT_MONITOR@", "System audio", true,
                "there is no sound output whose audio could be recorded (the sound server has no default output)"};
    }
    if (deviceID && !deviceID->empty()) {
        return {*deviceID, "Microphone", false, "the audio source '" + *deviceID + "' does not exist", false};
    }
    return {"@DEFAULT_SOURCE@", "Microphone", true, "there is no microphone (the sound server has no default input)",
            false};
}

// The capture thread shares ownership of the session, so a capture stopped from its own handler
// can finish its last pass safely after the source object is gone.
class PulseAudioSource final : public AudioSource {
public:
    PulseAudioSource(std::shared_ptr<pulse::CaptureSession> session, std::thread thread)
        : session_(std::move(session)), thread_(std::move(thread)) {}

    ~PulseAudioSource() override {
        stop();
        if (thread_.joinable()) thread_.detach();  // only when stopped from the capture thread itself
    }

    void finishAt(int64_t hostNs) override {
        finishing_ = true;
        session_->requestFinish(hostNs);
    }

    void stop() override {
        // The capture thread cannot wait for itself to deliver more.
        if (!finishing_ || thread_.get_id() == std::this_thread::get_id()) session_->requestStop();
        const std::lock_guard lock(joinMutex_);
        // From the capture thread (inside the handler) the stop flag alone guarantees that no
        // further handler call starts; joining there would wait for ourselves.
        if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) thread_.join();
    }

private:
    std::shared_ptr<pulse::CaptureSession> session_;
    std::mutex joinMutex_;
    std::atomic<bool> finishing_{false};
    std::thread thread_;
};

}  // namespace

common::Result<std::unique_ptr<AudioSource>> startAudioSource(AudioSourceKind kind,
                                                              const std::optional<std::string>& deviceID,
                                                              AudioHandler handler) {
    auto session = std::make_shared<pulse::CaptureSession>(targetFor(kind, deviceID), std::move(handler));
    std::promise<common::Status> started;
    auto outcome = started.get_future();
    std::thread thread([session, started = std::move(started)]() mutable {
        pthread_setname_np(pthread_self(), "audio-capture");
        session->run(std::move(started));
    });
    // The session always answers: it gives up on a silent server after its own start timeout.
    if (auto failure = outcome.get()) {
        thread.join();
        return std::move(*failure);
    }
    return std::unique_ptr<AudioSource>(std::make_unique<PulseAudioSource>(std::move(session), std::move(thread)));
}

}  // namespace recorder::linux_backend
