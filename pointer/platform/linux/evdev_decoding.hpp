#pragma once

#include <linux/input.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "pointer/platform/button_events.hpp"

namespace pointer::platform::linux_evdev {

// The kernel's mouse buttons, BTN_LEFT to BTN_TASK: a device that has none of them is no mouse.
inline constexpr uint16_t kFirstMouseButton = BTN_LEFT;
inline constexpr uint16_t kLastMouseButton = BTN_TASK;

// One kernel input event as the monitor counts it: left and right by their own types, the middle
// and every further mouse button as an other-button event numbered from 0 for the left button.
// None for key auto-repeat, motion, the wheel, touch and anything that is no mouse button.
std::optional<MouseEvent> mouseEventForInputEvent(const input_event& event);

// Cuts a byte stream of `struct input_event` records into whole records. A device hands out whole
// records; a pipe carrying them may not, so a partial record waits for the rest.
class InputEventStream {
public:
    void feed(std::span<const std::byte> bytes, const std::function<void(const input_event&)>& onEvent);
    size_t pendingBytes() const { return pending_.size(); }

private:
    std::vector<std::byte> pending_;
};

}  // namespace pointer::platform::linux_evdev
