#include "tests/e2e_window/window_recording_harness.hpp"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>

#include "tests/support/desktop/readiness.hpp"
#include "tests/support/desktop/test_programs.hpp"

namespace e2ewindow {
namespace {

int channel(uint32_t colour, int shift) {
    return static_cast<int>((colour >> shift) & 0xFF);
}

int colourDistance(uint32_t a, uint32_t b) {
    int distance = 0;
    for (int shift : {16, 8, 0}) distance = std::max(distance, std::abs(channel(a, shift) - channel(b, shift)));
    return distance;
}

// Single quotes for the shell; our paths have none of their own.
std::string quoted(const std::string& text) {
    return "'" + text + "'";
}

std::optional<int> numberAfter(const std::string& text, const std::string& label) {
    auto at = text.find(label);
    if (at == std::string::npos) return std::nullopt;
    return std::atoi(text.c_str() + at + label.size());
}

// The first position along a line of pixels where the colour is closer to `after` than to `before`.
template <typename PixelAt>
std::optional<int> firstCloserTo(int length, uint32_t before, uint32_t after, PixelAt pixelAt) {
    for (int i = 0; i < length; ++i) {
        uint32_t colour = pixelAt(i);
        if (colourDistance(colour, after) < colourDistance(colour, before)) return i;
    }
    return std::nullopt;
}

}  // namespace

bool colourNear(uint32_t actual, uint32_t expected, int tolerance) {
    return colourDistance(actual, expected) <= tolerance;
}

bool isGrey(uint32_t colour, int tolerance) {
    int r = channel(colour, 16), g = channel(colour, 8), b = channel(colour, 0);
    return std::abs(r - g) <= tolerance && std::abs(g - b) <= tolerance && std::abs(r - b) <= tolerance;
}

std::string hexColour(uint32_t colour) {
    char text[8];
    std::snprintf(text, sizeof text, "%06X", colour & 0xFFFFFF);
    return text;
}

double secondsBetween(Clock::time_point from, Clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

RecorderRun::RecorderRun(const testsupport::TestDesktop& desktop, const std::string& request)
    : process_(testsupport::ChildProcess::spawn({testsupport::testProgramPath("recorder-agent"), request},
                                                desktop.environment())) {}

std::optional<Clock::time_point> RecorderRun::waitForLine(const std::string& line, std::chrono::milliseconds timeout) {
    for (const auto& seen : lines_)
        if (seen.text == line) return seen.seenAt;
    auto deadline = Clock::now() + timeout;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left <= 0ms) return std::nullopt;
        auto next = process_->readStdoutLine(left);
        if (!next) return std::nullopt;
        lines_.push_back({*next, Clock::now()});
        if (*next == line) return lines_.back().seenAt;
    }
}

void RecorderRun::sendCommand(const std::string& command) {
    process_->writeStdin(command + "\n");
}

std::optional<int> RecorderRun::waitForExit(std::chrono::milliseconds timeout) {
    auto status = process_->waitForExit(timeout);
    if (status) drainLines();
    return status;
}

void RecorderRun::drainLines() {
    while (auto next = process_->readStdoutLine(0ms)) lines_.push_back({*next, Clock::now()});
}

std::vector<std::string> RecorderRun::lineTexts() const {
    std::vector<std::string> texts;
    for (const auto& line : lines_) texts.push_back(line.text);
    return texts;
}

void WindowRecordingTest::SetUp() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    directory_ = std::filesystem::temp_directory_path() /
                 ("e2e-window-" + std::to_string(::getpid()) + "-" + info->test_suite_name() + "-" + info->name());
    std::filesystem::create_directories(directory_);
}

void WindowRecordingTest::TearDown() {
    desktop_.reset();
    // Keep the files of a failed test for a look at what was recorded.
    if (!HasFailure()) std::filesystem::remove_all(directory_);
    else std::cerr << "files of the failed test kept in " << directory_ << '\n';
}

void WindowRecordingTest::startDesktop(const testsupport::DesktopOptions& options) {
    auto withWindowManager = options;
    withWindowManager.windowManager = true;
    desktop_ = testsupport::TestDesktop::start(withWindowManager);
}

ShownWindow WindowRecordingTest::openTestWindow(const std::vector<std::string>& options) {
    std::vector<std::string> argv{testsupport::testProgramPath("test-window")};
    argv.insert(argv.end(), options.begin(), options.end());
    ShownWindow window{testsupport::ChildProcess::spawn(argv, desktop_->environment())};
    auto ready = window.process->readStdoutLine(10s);
    if (!ready || ready->rfind("READY ", 0) != 0) {
        ADD_FAILURE() << "test-window did not show its window: " << window.process->stderrSoFar();
        return window;
    }
    window.id = static_cast<uint32_t>(std::stoul(ready->substr(6)));
    return window;
}

ShownWindow WindowRecordingTest::openMovingPicture(int x, int y, int width, int height) {
    ShownWindow window{testsupport::ChildProcess::spawn(
        {testsupport::testProgramPath("moving-picture"), "--x", std::to_string(x), "--y", std::to_string(y),
         "--width", std::to_string(width), "--height", std::to_string(height)},
        desktop_->environment())};
    auto ready = window.process->readStdoutLine(10s);
    if (!ready || ready->rfind("READY ", 0) != 0) {
        ADD_FAILURE() << "moving-picture did not show its window: " << window.process->stderrSoFar();
        return window;
    }
    window.id = static_cast<uint32_t>(std::stoul(ready->substr(6)));
    return window;
}

PixelRect WindowRecordingTest::clientRect(uint32_t window) {
    auto result = desktop_->run("xwininfo -id " + std::to_string(window));
    EXPECT_EQ(result.status, 0) << "xwininfo: " << result.errorOutput;
    PixelRect rect;
    rect.x = numberAfter(result.output, "Absolute upper-left X:").value_or(-1);
    rect.y = numberAfter(result.output, "Absolute upper-left Y:").value_or(-1);
    rect.width = numberAfter(result.output, "Width:").value_or(-1);
    rect.height = numberAfter(result.output, "Height:").value_or(-1);
    return rect;
}

void WindowRecordingTest::runOnDesktop(const std::string& command) {
    auto result = desktop_->run(command);
    ASSERT_EQ(result.status, 0) << command << ": " << result.errorOutput;
}

void WindowRecordingTest::moveWindow(uint32_t window, int x, int y) {
    runOnDesktop("xdotool windowmove " + std::to_string(window) + " " + std::to_string(x) + " " + std::to_string(y));
    bool arrived = testsupport::pollUntil(
        [&] {
            auto rect = clientRect(window);
            return rect.x == x + 1 && rect.y == y + 20;
        },
        5s);
    ASSERT_TRUE(arrived) << "window " << window << " did not arrive at " << x << "," << y;
}

std::string WindowRecordingTest::windowRequest(uint32_t window, const std::string& extraFields,
                                               const std::string& path) const {
    return R"({"windowId":)" + std::to_string(window) + "," + extraFields + R"("outputPath":")" +
           (path.empty() ? outputPath() : path) + R"("})";
}

std::unique_ptr<RecorderRun> WindowRecordingTest::startRecording(const std::string& request) {
    return std::make_unique<RecorderRun>(*desktop_, request);
}

bool WindowRecordingTest::playsCleanly(const std::string& path, std::string* errors) {
    auto decode = desktop_->run("ffmpeg -nostdin -v error -i " + quoted(path) + " -f rawvideo -y /dev/null");
    if (errors) *errors = decode.errorOutput;
    return decode.status == 0 && decode.errorOutput.empty();
}

std::vector<DecodedFrame> WindowRecordingTest::decodeAllFrames(const std::string& path) {
    std::vector<DecodedFrame> frames;
    auto info = testsupport::probeMedia(path);
    const testsupport::StreamInfo* video = info ? info->firstOfType("video") : nullptr;
    if (!video || video->width <= 0 || video->height <= 0) {
        ADD_FAILURE() << "no video stream in " << path;
        return frames;
    }
    auto times = desktop_->run("ffprobe -v error -select_streams v:0 -show_entries frame=pts_time -of csv=p=0 " +
                               quoted(path));
    if (times.status != 0) {
        ADD_FAILURE() << "ffprobe cannot list the frames of " << path << ": " << times.errorOutput;
        return frames;
    }
    // passthrough: each encoded picture once, at its own time, instead of repeated to a constant rate.
    const std::string raw = (directory_ / "frames.rgb").string();
    auto decode = desktop_->run("ffmpeg -nostdin -v error -i " + quoted(path) +
                                " -fps_mode passthrough -f rawvideo -pix_fmt rgb24 -y " + quoted(raw));
    if (decode.status != 0) {
        ADD_FAILURE() << "ffmpeg cannot decode " << path << ": " << decode.errorOutput;
        return frames;
    }
    std::ifstream file(raw, std::ios::binary);
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    std::filesystem::remove(raw);
    const size_t frameBytes = static_cast<size_t>(video->width) * static_cast<size_t>(video->height) * 3;

    std::istringstream lines(times.output);
    std::string line;
    size_t offset = 0;
    while (std::getline(lines, line)) {
        if (line.empty()) continue;
        if (offset + frameBytes > bytes.size()) {
            ADD_FAILURE() << "ffprobe lists more frames than ffmpeg decodes in " << path;
            break;
        }
        DecodedFrame frame;
        frame.time = std::atof(line.c_str());
        frame.picture.width = video->width;
        frame.picture.height = video->height;
        frame.picture.pixels.assign(bytes.begin() + static_cast<std::ptrdiff_t>(offset),
                                    bytes.begin() + static_cast<std::ptrdiff_t>(offset + frameBytes));
        offset += frameBytes;
        frames.push_back(std::move(frame));
    }
    if (offset != bytes.size()) ADD_FAILURE() << "ffmpeg decodes more frames than ffprobe lists in " << path;
    return frames;
}

std::string quadrantsMismatch(const testsupport::RgbFrame& picture) {
    const int w = picture.width, h = picture.height;
    std::ostringstream problems;
    // A grid reaching into the corners, leaving out the blend across the borders between quadrants.
    constexpr int steps = 8;
    constexpr int borderMargin = 4;
    for (int gy = 0; gy < steps; ++gy) {
        for (int gx = 0; gx < steps; ++gx) {
            int x = gx * (w - 1) / (steps - 1), y = gy * (h - 1) / (steps - 1);
            if (std::abs(2 * x - w) < 2 * borderMargin || std::abs(2 * y - h) < 2 * borderMargin) continue;
            bool right = 2 * x >= w, bottom = 2 * y >= h;
            uint32_t expected = bottom ? (right ? kYellow : kBlue) : (right ? kGreen : kRed);
            uint32_t actual = picture.at(x, y);
            if (!colourNear(actual, expected))
                problems << " (" << x << "," << y << ") is " << hexColour(actual) << " not " << hexColour(expected)
                         << ";";
        }
    }
    // Where each border between quadrants lies, along a line through the middle of a quadrant.
    struct Border {
        const char* name;
        std::optional<int> found;
        int expected;
    };
    const Border borders[] = {
        {"red|green", firstCloserTo(w, kRed, kGreen, [&](int x) { return picture.at(x, h / 4); }), w / 2},
        {"blue|yellow", firstCloserTo(w, kBlue, kYellow, [&](int x) { return picture.at(x, 3 * h / 4); }), w / 2},
        {"red/blue", firstCloserTo(h, kRed, kBlue, [&](int y) { return picture.at(w / 4, y); }), h / 2},
        {"green/yellow", firstCloserTo(h, kGreen, kYellow, [&](int y) { return picture.at(3 * w / 4, y); }), h / 2},
    };
    for (const auto& border : borders) {
        if (!border.found) problems << " no " << border.name << " border;";
        else if (std::abs(*border.found - border.expected) > 1)
            problems << " " << border.name << " border at " << *border.found << " not " << border.expected << ";";
    }
    return problems.str();
}

}  // namespace e2ewindow
