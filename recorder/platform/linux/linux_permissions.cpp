#include "recorder/platform/linux/linux_permissions.hpp"

#include "recorder/platform/linux/pulse/audio_source.hpp"
#include "recorder/platform/linux/x11/x11_capture_service.hpp"

namespace recorder::linux_backend {
namespace {

// X11 has no consent prompt: recording is possible exactly when the display can be opened, so
// asking again is simply a second attempt. The microphone is "authorised" when a sound server
// answers; without one it cannot be recorded at all.
class LinuxPermissionService final : public platform::PermissionService {
public:
    void touchMainDisplay() override {}
    bool preflightScreenCaptureAccess() override { return x11DisplayUsable(); }
    bool requestScreenCaptureAccess() override { return x11DisplayUsable(); }
    int microphoneAuthorizationStatus() override {
        return audioServerAnswers() ? platform::kAuthorizationAuthorized : 2;
    }
    void requestMicrophoneAccess(std::function<void(bool)> completion) override {
        completion(audioServerAnswers());
    }
};

class PulseCaptureDeviceService final : public platform::CaptureDeviceService {
public:
    std::vector<platform::AudioCaptureDevice> audioCaptureDevices() override { return listMicrophones(); }
};

}  // namespace

std::shared_ptr<platform::PermissionService> makeLinuxPermissionService() {
    return std::make_shared<LinuxPermissionService>();
}

std::shared_ptr<platform::CaptureDeviceService> makeLinuxCaptureDeviceService() {
    return std::make_shared<PulseCaptureDeviceService>();
}

}  // namespace recorder::linux_backend
