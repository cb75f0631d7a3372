#include "pointer/platform/linux/xfixes_screen_pointer.hpp"

#include <xcb/xfixes.h>

#include <algorithm>

namespace pointer::platform::linux_x11 {

common::Result<std::unique_ptr<XFixesScreenPointer>> XFixesScreenPointer::open(XcbConnection connection) {
    auto* c = connection.get();
    const auto* extension = xcb_get_extension_data(c, &xcb_xfixes_id);
    if (extension == nullptr || !extension->present) {
        return common::Error{"X11", 10, "the X display has no XFixes extension: the shown cursor cannot be read"};
    }
    // Cursor images need XFixes 2; asking for the version is also what enables the extension.
    XcbReply<xcb_xfixes_query_version_reply_t> version(
        xcb_xfixes_query_version_reply(c, xcb_xfixes_query_version(c, 4, 0), nullptr));
    if (!version || version->major_version < 2) {
        return common::Error{"X11", 11, "the X display's XFixes is older than version 2: no cursor images"};
    }
    return std::unique_ptr<XFixesScreenPointer>(new XFixesScreenPointer(std::move(connection)));
}

std::optional<ShownCursor> XFixesScreenPointer::currentCursor() {
    auto* c = connection_.get();
    XcbReply<xcb_xfixes_get_cursor_image_reply_t> reply(
        xcb_xfixes_get_cursor_image_reply(c, xcb_xfixes_get_cursor_image(c), nullptr));
    if (!reply) return std::nullopt;
    const int width = reply->width;
    const int height = reply->height;
    const auto* pixels = xcb_xfixes_get_cursor_image_cursor_image(reply.get());
    const auto count = static_cast<size_t>(std::max(0, xcb_xfixes_get_cursor_image_cursor_image_length(reply.get())));
    ShownCursor shown;
    shown.serial = reply->cursor_serial;
    // X cursors are measured in pixels, and the cursor is placed in pixels too: points are pixels.
    shown.image.width = width;
    shown.image.height = height;
    shown.image.hotSpot = {double(reply->xhot), double(reply->yhot)};
    shown.image.pixelWidth = width;
    shown.image.pixelHeight = height;
    shown.image.pixels.assign(pixels, pixels + std::min(count, size_t(width) * size_t(height)));
    shown.image.pixels.resize(size_t(width) * size_t(height), 0);
    return shown;
}

std::optional<common::Point> XFixesScreenPointer::location() {
    auto* c = connection_.get();
    XcbReply<xcb_query_pointer_reply_t> reply(
        xcb_query_pointer_reply(c, xcb_query_pointer(c, connection_.root()), nullptr));
    if (!reply) return std::nullopt;
    return common::Point{double(reply->root_x), double(reply->root_y)};
}

}  // namespace pointer::platform::linux_x11
