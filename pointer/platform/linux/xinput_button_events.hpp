#pragma once

#include <array>
#include <atomic>
#include <mutex>
#include <thread>

#include "pointer/platform/button_events.hpp"
#include "pointer/platform/linux/xcb_handles.hpp"

namespace pointer::platform::linux_x11 {

// Raw button presses and releases of every master pointer (XInput 2), heard on the root window
// whoever holds a grab. One listening thread counts them for polling and hands them to the tap.
class XInputButtonEvents final : public ButtonEventSource {
public:
    // An error when the display has no XInput 2.2 or refuses the selection.
    static common::Result<std::unique_ptr<XInputButtonEvents>> open(XcbConnection connection);
    ~XInputButtonEvents() override;

    bool installTap(uint64_t mask, Callback callback) override;
    uint32_t counterForEventType(uint32_t type) const override;

private:
    XInputButtonEvents(XcbConnection connection, uint8_t xinputOpcode, int wakeFd);
    void listen();
    void deliver(const MouseEvent& event);

    XcbConnection connection_;
    uint8_t xinputOpcode_;
    int wakeFd_;  // an eventfd that ends the listener

    // Indexed by event type; only the six mouse types are ever counted.
    std::array<std::atomic<uint32_t>, 27> counters_{};

    std::mutex tapMutex_;
    uint64_t tapMask_ = 0;
    Callback tap_;

    std::thread listener_;
};

// Stands in when there is no display: no tap, counters that never move.
class AbsentButtonEvents final : public ButtonEventSource {
public:
    bool installTap(uint64_t, Callback) override { return false; }
    uint32_t counterForEventType(uint32_t) const override { return 0; }
};

}  // namespace pointer::platform::linux_x11
