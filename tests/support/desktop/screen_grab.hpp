#pragma once

#include "tests/support/desktop/media_probe.hpp"
#include "tests/support/desktop/test_desktop.hpp"

#include <optional>

namespace testsupport {

// What the desktop's screen shows in the given rectangle of root pixels, grabbed once with ffmpeg's
// x11grab (so it is independent of the code under test). None when the grab fails.
std::optional<RgbFrame> grabScreen(const TestDesktop& desktop, int x, int y, int width, int height);

}  // namespace testsupport
