#pragma once

#include <array>
#include <cstdint>

#include "pointer/platform/button_events.hpp"

namespace pointer::input {

// The event types reported, in this order, and the mask that selects them.
inline constexpr std::array<uint32_t, 6> kMouseEventTypes{
    platform::mouse_event_type::leftDown,  platform::mouse_event_type::leftUp,
    platform::mouse_event_type::rightDown, platform::mouse_event_type::rightUp,
    platform::mouse_event_type::otherDown, platform::mouse_event_type::otherUp,
};

constexpr uint64_t maskForEventTypes(const std::array<uint32_t, 6>& types) {
    uint64_t mask = 0;
    for (const auto type : types) {
        if (type < 64) mask |= uint64_t{1} << type;
    }
    return mask;
}

inline constexpr uint64_t kMouseEventMask = maskForEventTypes(kMouseEventTypes);
static_assert(kMouseEventMask == 0x600001E);

}  // namespace pointer::input
