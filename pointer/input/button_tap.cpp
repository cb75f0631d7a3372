#include "pointer/input/button_tap.hpp"

#include "pointer/input/mouse_events.hpp"
#include "pointer/output_lines.hpp"

namespace pointer::input {
namespace {

// The button number that other-button events carry for the middle button.
constexpr int64_t kMiddleButtonNumber = 2;

}  // namespace

std::optional<std::string> interactionLineForEvent(const platform::MouseEvent& event) {
    namespace type = platform::mouse_event_type;
    switch (event.type) {
        case type::leftDown: return interactionLine(InteractionKind::mouseDown, 1);
        case type::leftUp: return interactionLine(InteractionKind::mouseUp, 1);
        case type::rightDown: return interactionLine(InteractionKind::mouseDown, 2);
        case type::rightUp: return interactionLine(InteractionKind::mouseUp, 2);
        case type::otherDown:
            if (event.buttonNumber == kMiddleButtonNumber) return interactionLine(InteractionKind::mouseDown, 3);
            return std::nullopt;
        case type::otherUp:
            if (event.buttonNumber == kMiddleButtonNumber) return interactionLine(InteractionKind::mouseUp, 3);
            return std::nullopt;
        default: return std::nullopt;
    }
}

bool installButtonTap(platform::ButtonEventSource& source, common::LineSink& sink) {
    return source.installTap(kMouseEventMask, [&sink](const platform::MouseEvent& event) {
        if (auto line = interactionLineForEvent(event)) sink.out(*line);
    });
}

}  // namespace pointer::input
