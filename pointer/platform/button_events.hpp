#pragma once

#include <cstdint>
#include <functional>

namespace pointer::platform {

// Mouse event types, numbered as the parent application knows them.
namespace mouse_event_type {
inline constexpr uint32_t leftDown = 1;
inline constexpr uint32_t leftUp = 2;
inline constexpr uint32_t rightDown = 3;
inline constexpr uint32_t rightUp = 4;
inline constexpr uint32_t otherDown = 25;
inline constexpr uint32_t otherUp = 26;
}  // namespace mouse_event_type

struct MouseEvent {
    uint32_t type = 0;
    // The zero-based button number: 0 left, 1 right, 2 middle, 3 and above the extra buttons.
    int64_t buttonNumber = 0;
};

// Button presses and releases of every pointing device of the session.
class ButtonEventSource {
public:
    using Callback = std::function<void(const MouseEvent&)>;
    virtual ~ButtonEventSource() = default;
    // Delivers every event whose type has its bit set in `mask`, on a thread of the source's own,
    // one at a time, until the source is destroyed. False when no listener can be installed.
    virtual bool installTap(uint64_t mask, Callback callback) = 0;
    // How many events of this type the session has seen; wraps around at 2^32.
    virtual uint32_t counterForEventType(uint32_t type) const = 0;
};

}  // namespace pointer::platform
