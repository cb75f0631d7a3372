#pragma once

#include <array>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/error.hpp"
#include "pointer/platform/button_events.hpp"
#include "pointer/platform/linux/evdev_decoding.hpp"

namespace pointer::platform::linux_evdev {

// Owns one file descriptor.
class OwnedFd {
public:
    OwnedFd() = default;
    explicit OwnedFd(int fd) : fd_(fd) {}
    OwnedFd(OwnedFd&& other) noexcept : fd_(other.release()) {}
    OwnedFd& operator=(OwnedFd&& other) noexcept;
    OwnedFd(const OwnedFd&) = delete;
    OwnedFd& operator=(const OwnedFd&) = delete;
    ~OwnedFd();
    int get() const { return fd_; }
    int release();
    explicit operator bool() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

// Button presses and releases read straight from the kernel's input devices, the one place a
// Wayland session lets a client hear the buttons of every pointer. Reading them needs the right to
// open the devices (the `input` group). One listening thread counts them for polling, hands them to
// the tap, and picks up mice that are plugged in later.
class EvdevButtonEvents final : public ButtonEventSource {
public:
    // Every mouse under `directory` (the devices named "event" and a number). An error saying why
    // when not one of them can be read.
    static common::Result<std::unique_ptr<EvdevButtonEvents>> open(const std::string& directory);
    // Reads the given descriptors as they are: devices, or pipes that carry their records.
    static std::unique_ptr<EvdevButtonEvents> forDescriptors(std::vector<OwnedFd> descriptors);
    ~EvdevButtonEvents() override;

    bool installTap(uint64_t mask, Callback callback) override;
    uint32_t counterForEventType(uint32_t type) const override;

private:
    struct Device {
        std::string path;
        OwnedFd fd;
        InputEventStream stream;
    };

    EvdevButtonEvents(std::vector<Device> devices, std::string directory, OwnedFd watch, OwnedFd wake);
    void listen();
    // False when the device is gone (unplugged, or the writer of a pipe closed it).
    bool readDevice(Device& device);
    void addArrivedDevices();
    void deliver(const MouseEvent& event);

    std::vector<Device> devices_;  // after construction touched only by the listener
    std::string directory_;
    OwnedFd watch_;  // inotify on the directory; none for given descriptors
    OwnedFd wake_;   // an eventfd that ends the listener

    std::array<std::atomic<uint32_t>, 27> counters_{};  // indexed by event type

    std::mutex tapMutex_;
    uint64_t tapMask_ = 0;
    Callback tap_;

    std::thread listener_;
};

// The mice under `directory`, or a source that has no tap and whose counters never move when none
// can be read.
std::unique_ptr<ButtonEventSource> openInputDeviceButtons(const std::string& directory);

}  // namespace pointer::platform::linux_evdev
