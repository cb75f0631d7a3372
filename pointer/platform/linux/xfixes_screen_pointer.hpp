#pragma once

#include "pointer/platform/cursor_services.hpp"
#include "pointer/platform/linux/xcb_handles.hpp"

namespace pointer::platform::linux_x11 {

// The cursor the X server shows (XFixes) and the pointer position, from any client.
class XFixesScreenPointer final : public ScreenPointer {
public:
    // An error when the display lacks XFixes 2 or later.
    static common::Result<std::unique_ptr<XFixesScreenPointer>> open(XcbConnection connection);

    std::optional<ShownCursor> currentCursor() override;
    std::optional<common::Point> location() override;

private:
    explicit XFixesScreenPointer(XcbConnection connection) : connection_(std::move(connection)) {}
    XcbConnection connection_;
};

// Stands in when there is no display: no cursor picture, no position.
class AbsentScreenPointer final : public ScreenPointer {
public:
    std::optional<ShownCursor> currentCursor() override { return std::nullopt; }
    std::optional<common::Point> location() override { return std::nullopt; }
};

}  // namespace pointer::platform::linux_x11
