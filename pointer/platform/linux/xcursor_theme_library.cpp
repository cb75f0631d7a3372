#include "pointer/platform/linux/xcursor_theme_library.hpp"

#include <X11/Xcursor/Xcursor.h>
#include <X11/Xlib.h>

#include <cstdlib>
#include <memory>
#include <span>
#include <string_view>
#include <vector>

namespace pointer::platform::linux_x11 {
namespace {

// The size most desktops default to when nothing says otherwise.
constexpr int kFallbackCursorSize = 24;

struct DisplayCloser {
    void operator()(Display* display) const { XCloseDisplay(display); }
};

struct ImagesDestroyer {
    void operator()(XcursorImages* images) const { XcursorImagesDestroy(images); }
};

// Theme file names for each shape, in order of preference: the traditional X names first, then
// the CSS names of newer themes.
std::vector<std::string_view> themeNamesFor(StandardCursor which) {
    switch (which) {
        case StandardCursor::arrow: return {"left_ptr", "default"};
        case StandardCursor::iBeam: return {"xterm", "text"};
        case StandardCursor::pointingHand: return {"hand2", "pointer"};
        case StandardCursor::dragCopy: return {"copy", "dnd-copy"};
        case StandardCursor::dragLink: return {"alias", "dnd-link"};
        case StandardCursor::contextualMenu: return {"context-menu"};
        case StandardCursor::crosshair: return {"crosshair", "cross"};
        case StandardCursor::openHand: return {"openhand", "grab", "hand1"};
        case StandardCursor::closedHand: return {"grabbing", "closedhand"};
        case StandardCursor::resizeLeft: return {"w-resize", "left_side"};
        case StandardCursor::resizeRight: return {"e-resize", "right_side"};
        case StandardCursor::resizeLeftRight: return {"ew-resize", "sb_h_double_arrow", "col-resize"};
        case StandardCursor::resizeUp: return {"n-resize", "top_side"};
        case StandardCursor::resizeDown: return {"s-resize", "bottom_side"};
        case StandardCursor::resizeUpDown: return {"ns-resize", "sb_v_double_arrow", "row-resize"};
        case StandardCursor::operationNotAllowed: return {"not-allowed", "crossed_circle"};
        case StandardCursor::iBeamForVerticalLayout: return {"vertical-text"};
    }
    return {};
}

std::optional<int> positiveNumber(const char* text) {
    if (text == nullptr) return std::nullopt;
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || value <= 0 || value > 1024) return std::nullopt;
    return static_cast<int>(value);
}

std::optional<std::string> nonEmpty(const char* text) {
    if (text == nullptr || *text == '\0') return std::nullopt;
    return std::string(text);
}

}  // namespace

XcursorThemeLibrary XcursorThemeLibrary::forCurrentSession() {
    const char* displayName = std::getenv("DISPLAY");
    if (displayName != nullptr && *displayName != '\0') {
        std::unique_ptr<Display, DisplayCloser> display(XOpenDisplay(nullptr));
        if (display) {
            return XcursorThemeLibrary(nonEmpty(XcursorGetTheme(display.get())), XcursorGetDefaultSize(display.get()));
        }
    }
    return XcursorThemeLibrary(nonEmpty(std::getenv("XCURSOR_THEME")),
                               positiveNumber(std::getenv("XCURSOR_SIZE")).value_or(kFallbackCursorSize));
}

std::optional<CursorImage> XcursorThemeLibrary::cursor(StandardCursor which) const {
    for (const auto name : themeNamesFor(which)) {
        if (auto image = cursorNamed(std::string(name))) return image;
    }
    return std::nullopt;
}

std::optional<CursorImage> XcursorThemeLibrary::cursorNamed(const std::string& name) const {
    std::unique_ptr<XcursorImages, ImagesDestroyer> images(
        XcursorLibraryLoadImages(name.c_str(), theme_ ? theme_->c_str() : nullptr, size_));
    if (!images || images->nimage < 1 || images->images[0] == nullptr) return std::nullopt;
    const XcursorImage& first = *images->images[0];
    CursorImage image;
    image.width = first.width;
    image.height = first.height;
    image.hotSpot = {double(first.xhot), double(first.yhot)};
    image.pixelWidth = static_cast<int>(first.width);
    image.pixelHeight = static_cast<int>(first.height);
    const std::span<const XcursorPixel> pixels(first.pixels, size_t(first.width) * size_t(first.height));
    image.pixels.assign(pixels.begin(), pixels.end());
    return image;
}

}  // namespace pointer::platform::linux_x11
