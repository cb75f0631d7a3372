#include "recorder/platform/linux/linux_permissions.hpp"

#include "recorder/platform/linux/linux_platform.hpp"

#include "recorder/platform/linux/pulse/audio_source.hpp"
#include "recorder/platform/linux/x11/x11_capture_service.hpp"

namespace recorder::linux_backend {
namespace {

// The microphone is "authorised" when a sound server answers; without one it cannot be recorded
// at all.
class SoundServerPermissions : public platform::PermissionService {
public:
    void touchMainDisplay() override {}
    int microphoneAuthorizationStatus() override {
        return audioServerAnswers() ? platform::kAuthorizationAuthorized : 2;
    }
    void requestMicrophoneAccess(std::function<void(bool)> completion) override {
        completion(audioServerAnswers());
    }
};

// X11 has no consent prompt: recording is possible exactly when the display can be opened, so
// asking again is simply a second attempt.
class X11PermissionService final : public SoundServerPermissions {
public:
    bool preflightScreenCaptureAccess() override { return x11DisplayUsable(); }
    bool requestScreenCaptureAccess() override { return x11DisplayUsable(); }
};

// The first question shows the desktop's dialog (or restores the earlier answer); the user's
// answer stands for the rest of the process, so asking again shows nothing.
class WaylandPermissionService final : public SoundServerPermissions {
public:
    explicit WaylandPermissionService(std::shared_ptr<wayland::ScreenCast> cast) : cast_(std::move(cast)) {}
    bool preflightScreenCaptureAccess() override { return !cast_->grant().has_value(); }
    bool requestScreenCaptureAccess() override { return !cast_->grant().has_value(); }

private:
    const std::shared_ptr<wayland::ScreenCast> cast_;
};

// A listing of sources on Wayland only says that the desktop's dialog chooses.
class WaylandListingPermissionService final : public SoundServerPermissions {
public:
    bool preflightScreenCaptureAccess() override { return true; }
    bool requestScreenCaptureAccess() override { return true; }
};

class PulseCaptureDeviceService final : public platform::CaptureDeviceService {
public:
    std::vector<platform::AudioCaptureDevice> audioCaptureDevices() override { return listMicrophones(); }
};

}  // namespace

std::shared_ptr<platform::PermissionService> makeLinuxPermissionService() {
    return std::make_shared<X11PermissionService>();
}

std::shared_ptr<platform::PermissionService> makeWaylandPermissionService(std::shared_ptr<wayland::ScreenCast> cast) {
    return std::make_shared<WaylandPermissionService>(std::move(cast));
}

std::shared_ptr<platform::PermissionService> makeWaylandListingPermissionService() {
    return std::make_shared<WaylandListingPermissionService>();
}

std::shared_ptr<platform::CaptureDeviceService> makeLinuxCaptureDeviceService() {
    return std::make_shared<PulseCaptureDeviceService>();
}

}  // namespace recorder::linux_backend
