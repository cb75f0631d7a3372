#include "tests/support/desktop/screen_grab.hpp"

namespace testsupport {

std::optional<RgbFrame> grabScreen(const TestDesktop& desktop, int x, int y, int width, int height) {
    using namespace std::chrono_literals;
    std::string size = std::to_string(width) + "x" + std::to_string(height);
    std::string source = desktop.display() + "+" + std::to_string(x) + "," + std::to_string(y);
    // -draw_mouse 0: the pointer would otherwise cover part of what a test looks at.
    auto ffmpeg = ChildProcess::spawn({"ffmpeg", "-nostdin", "-v", "error", "-f", "x11grab", "-draw_mouse", "0",
                                       "-video_size", size, "-i", source, "-frames:v", "1", "-f", "rawvideo",
                                       "-pix_fmt", "rgb24", "-"},
                                      desktop.environment());
    ffmpeg->closeStdin();
    if (ffmpeg->waitForExit(60s) != 0) return std::nullopt;
    std::string raw = ffmpeg->stdoutSoFar();
    if (raw.size() != static_cast<size_t>(width) * static_cast<size_t>(height) * 3) return std::nullopt;
    RgbFrame frame;
    frame.width = width;
    frame.height = height;
    frame.pixels.assign(raw.begin(), raw.end());
    return frame;
}

}  // namespace testsupport
