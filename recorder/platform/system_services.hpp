#pragma once

#include <functional>
#include <string>
#include <vector>

namespace recorder::platform {

// Microphone authorisation states the recorder distinguishes; every other value counts as denied.
inline constexpr int kAuthorizationNotDetermined = 0;
inline constexpr int kAuthorizationAuthorized = 3;

class PermissionService {
public:
    virtual ~PermissionService() = default;
    virtual void touchMainDisplay() = 0;
    virtual bool preflightScreenCaptureAccess() = 0;
    virtual bool requestScreenCaptureAccess() = 0;
    virtual int microphoneAuthorizationStatus() = 0;
    // Calls `completion` once, on any thread, when the answer is known.
    virtual void requestMicrophoneAccess(std::function<void(bool granted)> completion) = 0;
};

struct AudioCaptureDevice {
    std::string localizedName;
    std::string uniqueID;
    bool isDefault = false;  // the input the system records when none is named
};

class CaptureDeviceService {
public:
    virtual ~CaptureDeviceService() = default;
    // The audio capture devices (microphones), in the order the system reports them.
    virtual std::vector<AudioCaptureDevice> audioCaptureDevices() = 0;
};

}  // namespace recorder::platform
