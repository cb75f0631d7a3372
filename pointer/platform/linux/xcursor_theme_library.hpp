#pragma once

#include <optional>
#include <string>

#include "pointer/platform/cursor_services.hpp"

namespace pointer::platform::linux_x11 {

// The standard cursors of an Xcursor theme, read from the theme's files (no display needed).
class XcursorThemeLibrary final : public StandardCursorLibrary {
public:
    // `theme` none: the library's default theme.
    XcursorThemeLibrary(std::optional<std::string> theme, int size) : theme_(std::move(theme)), size_(size) {}

    // The theme and size the display's clients use (XcursorGetTheme, XcursorGetDefaultSize); without a
    // display, XCURSOR_THEME and XCURSOR_SIZE, else the default theme at 24 pixels.
    static XcursorThemeLibrary forCurrentSession();

    std::optional<CursorImage> cursor(StandardCursor which) const override;
    // The first image a theme file of this name holds.
    std::optional<CursorImage> cursorNamed(const std::string& name) const;

private:
    std::optional<std::string> theme_;
    int size_;
};

}  // namespace pointer::platform::linux_x11
