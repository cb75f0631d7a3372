#include "pointer/platform/linux/xinput_button_events.hpp"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <xcb/xinput.h>

#include <cerrno>
#include <optional>

namespace pointer::platform::linux_x11 {
namespace {

// X button numbers: 1 left, 2 middle, 3 right, 4 to 7 the wheel, 8 and up extra buttons. Returns
// the event type and zero-based button number the monitor counts, none for the wheel.
std::optional<MouseEvent> mouseEventForXButton(uint32_t xButton, bool pressed) {
    namespace type = mouse_event_type;
    switch (xButton) {
        case 1: return MouseEvent{pressed ? type::leftDown : type::leftUp, 0};
        case 3: return MouseEvent{pressed ? type::rightDown : type::rightUp, 1};
        case 2: return MouseEvent{pressed ? type::otherDown : type::otherUp, 2};
        default: break;
    }
    if (xButton >= 8) return MouseEvent{pressed ? type::otherDown : type::otherUp, int64_t(xButton) - 5};
    return std::nullopt;
}

}  // namespace

common::Result<std::unique_ptr<XInputButtonEvents>> XInputButtonEvents::open(XcbConnection connection) {
    auto* c = connection.get();
    const auto* extension = xcb_get_extension_data(c, &xcb_input_id);
    if (extension == nullptr || !extension->present) {
        return common::Error{"X11", 20, "the X display has no XInput extension: button events cannot be heard"};
    }
    // Raw events reach the root window with every grab in place only from XInput 2.1 on.
    XcbReply<xcb_input_xi_query_version_reply_t> version(
        xcb_input_xi_query_version_reply(c, xcb_input_xi_query_version(c, 2, 2), nullptr));
    if (!version || version->major_version < 2 || (version->major_version == 2 && version->minor_version < 1)) {
        return common::Error{"X11", 21, "the X display's XInput is older than 2.1: raw button events unavailable"};
    }

    struct {
        xcb_input_event_mask_t head;
        uint32_t bits;
    } mask{{XCB_INPUT_DEVICE_ALL_MASTER, 1},
           XCB_INPUT_XI_EVENT_MASK_RAW_BUTTON_PRESS | XCB_INPUT_XI_EVENT_MASK_RAW_BUTTON_RELEASE};
    XcbReply<xcb_generic_error_t> error(
        xcb_request_check(c, xcb_input_xi_select_events_checked(c, connection.root(), 1, &mask.head)));
    if (error) return common::Error{"X11", 22, "the X display refused to report raw button events"};

    const int wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd < 0) return common::Error{"system", errno, "cannot create an eventfd for the button listener"};
    return std::unique_ptr<XInputButtonEvents>(new XInputButtonEvents(std::move(connection), extension->major_opcode, wakeFd));
}

XInputButtonEvents::XInputButtonEvents(XcbConnection connection, uint8_t xinputOpcode, int wakeFd)
    : connection_(std::move(connection)), xinputOpcode_(xinputOpcode), wakeFd_(wakeFd) {
    listener_ = std::thread([this] { listen(); });
}

XInputButtonEvents::~XInputButtonEvents() {
    const uint64_t one = 1;
    if (write(wakeFd_, &one, sizeof one) < 0) {
        // The listener cannot be woken; it still ends when the connection closes with the process.
    }
    if (listener_.joinable()) listener_.join();
    close(wakeFd_);
}

bool XInputButtonEvents::installTap(uint64_t mask, Callback callback) {
    std::lock_guard lock(tapMutex_);
    tapMask_ = mask;
    tap_ = std::move(callback);
    return true;
}

uint32_t XInputButtonEvents::counterForEventType(uint32_t type) const {
    if (type >= counters_.size()) return 0;
    return counters_[type].load(std::memory_order_relaxed);
}

void XInputButtonEvents::deliver(const MouseEvent& event) {
    counters_[event.type].fetch_add(1, std::memory_order_relaxed);
    std::lock_guard lock(tapMutex_);
    if (tap_ && event.type < 64 && (tapMask_ >> event.type & 1) != 0) tap_(event);
}

void XInputButtonEvents::listen() {
    auto* c = connection_.get();
    std::array<pollfd, 2> fds{{{xcb_get_file_descriptor(c), POLLIN, 0}, {wakeFd_, POLLIN, 0}}};
    while (!xcb_connection_has_error(c)) {
        while (XcbReply<xcb_generic_event_t> event{xcb_poll_for_event(c)}) {
            if ((event->response_type & 0x7f) != XCB_GE_GENERIC) continue;
            const auto* generic = reinterpret_cast<const xcb_ge_generic_event_t*>(event.get());
            if (generic->extension != xinputOpcode_) continue;
            if (generic->event_type != XCB_INPUT_RAW_BUTTON_PRESS &&
                generic->event_type != XCB_INPUT_RAW_BUTTON_RELEASE) {
                continue;
            }
            const auto* raw = reinterpret_cast<const xcb_input_raw_button_press_event_t*>(event.get());
            const bool pressed = generic->event_type == XCB_INPUT_RAW_BUTTON_PRESS;
            if (auto mouseEvent = mouseEventForXButton(raw->detail, pressed)) deliver(*mouseEvent);
        }
        if (poll(fds.data(), fds.size(), -1) < 0 && errno != EINTR) return;
        if (fds[1].revents != 0) return;
    }
}

}  // namespace pointer::platform::linux_x11
