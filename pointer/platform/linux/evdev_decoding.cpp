#include "pointer/platform/linux/evdev_decoding.hpp"

#include <cstring>

namespace pointer::platform::linux_evdev {

std::optional<MouseEvent> mouseEventForInputEvent(const input_event& event) {
    if (event.type != EV_KEY || event.code < kFirstMouseButton || event.code > kLastMouseButton) return std::nullopt;
    // 1 press, 0 release; 2 is the keyboard's auto-repeat, no new press.
    if (event.value != 0 && event.value != 1) return std::nullopt;
    const bool pressed = event.value == 1;
    namespace type = mouse_event_type;
    switch (event.code) {
        case BTN_LEFT: return MouseEvent{pressed ? type::leftDown : type::leftUp, 0};
        case BTN_RIGHT: return MouseEvent{pressed ? type::rightDown : type::rightUp, 1};
        default: return MouseEvent{pressed ? type::otherDown : type::otherUp, int64_t{event.code} - BTN_LEFT};
    }
}

void InputEventStream::feed(std::span<const std::byte> bytes,
                            const std::function<void(const input_event&)>& onEvent) {
    pending_.insert(pending_.end(), bytes.begin(), bytes.end());
    size_t offset = 0;
    for (; pending_.size() - offset >= sizeof(input_event); offset += sizeof(input_event)) {
        input_event event;
        std::memcpy(&event, pending_.data() + offset, sizeof event);
        onEvent(event);
    }
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(offset));
}

}  // namespace pointer::platform::linux_evdev
