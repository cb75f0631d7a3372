#include "tests/x11_capture/capture_test_support.hpp"

#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <thread>

#include "tests/support/desktop/test_programs.hpp"

namespace x11test {

using recorder::platform::PixelBuffer;
using recorder::platform::SampleBuffer;

std::unique_ptr<testsupport::TestDesktop> startDesktop(const testsupport::DesktopOptions& options) {
    auto desktop = testsupport::TestDesktop::start(options);
    // The service under test finds the desktop (and its sound server) the way a program would.
    for (const auto& [name, value] : desktop->environment()) ::setenv(name.c_str(), value.c_str(), 1);
    return desktop;
}

std::unique_ptr<TestWindow> TestWindow::open(const testsupport::TestDesktop& desktop, int x, int y, int width,
                                             int height, const std::string& colour) {
    auto window = std::make_unique<TestWindow>();
    window->process_ = testsupport::ChildProcess::spawn(
        {testsupport::testProgramPath("test-window"), "--x", std::to_string(x), "--y", std::to_string(y), "--width",
         std::to_string(width), "--height", std::to_string(height), "--color", colour},
        desktop.environment());
    const auto line = window->process_->readStdoutLine(10s);
    if (!line || line->rfind("READY ", 0) != 0) {
        throw std::runtime_error("test-window did not get ready: " + window->process_->stderrSoFar());
    }
    window->id_ = static_cast<uint32_t>(std::stoul(line->substr(6)));
    return window;
}

void TestWindow::command(const std::string& line) {
    process_->writeStdin(line + "\n");
    if (!process_->waitForStdoutLine("OK", 10s)) throw std::runtime_error("test-window did not apply: " + line);
}

OwnWindow::OwnWindow(int x, int y, int width, int height, uint32_t rgb) {
    connection_ = xcb_connect(nullptr, nullptr);
    if (xcb_connection_has_error(connection_)) throw std::runtime_error("cannot connect to the test display");
    xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data;
    window_ = xcb_generate_id(connection_);
    const uint32_t values[] = {rgb};
    xcb_create_window(connection_, XCB_COPY_FROM_PARENT, window_, screen->root, static_cast<int16_t>(x),
                      static_cast<int16_t>(y), static_cast<uint16_t>(width), static_cast<uint16_t>(height), 0,
                      XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual, XCB_CW_BACK_PIXEL, values);
    const char* pidName = "_NET_WM_PID";
    auto reply = xcb_intern_atom_reply(connection_, xcb_intern_atom(connection_, 0, std::strlen(pidName), pidName),
                                       nullptr);
    const uint32_t pid = static_cast<uint32_t>(::getpid());
    if (reply) {
        xcb_change_property(connection_, XCB_PROP_MODE_REPLACE, window_, reply->atom, XCB_ATOM_CARDINAL, 32, 1, &pid);
        std::free(reply);
    }
    xcb_map_window(connection_, window_);
    xcb_flush(connection_);
}

OwnWindow::~OwnWindow() {
    xcb_destroy_window(connection_, window_);
    xcb_flush(connection_);
    xcb_disconnect(connection_);
}

bool OwnWindow::waitViewable(std::chrono::milliseconds timeout) {
    return pollUntil(
        [&] {
            auto* reply = xcb_get_window_attributes_reply(connection_, xcb_get_window_attributes(connection_, window_),
                                                          nullptr);
            const bool viewable = reply && reply->map_state == XCB_MAP_STATE_VIEWABLE;
            std::free(reply);
            return viewable;
        },
        timeout);
}

int64_t frameStatus(const SampleBuffer& sample) {
    const auto& attachments = sample.sampleAttachments();
    if (!attachments || attachments->empty()) return -1;
    const auto found = attachments->front().find(recorder::platform::kFrameInfoStatusKey);
    if (found == attachments->front().end()) return -1;
    const auto* value = std::get_if<int64_t>(&found->second);
    return value ? *value : -1;
}

void FrameCollector::streamDidOutputSampleBuffer(recorder::platform::CaptureStream&,
                                                 std::shared_ptr<SampleBuffer> sample, int outputType) {
    std::lock_guard lock(mutex_);
    if (outputType != 0) {
        ++counts_.wrongType;
    } else {
        const int64_t status = frameStatus(*sample);
        timeline_.push_back({status, sample->presentationTimeStamp(), sample->duration(), sample->imageBuffer() != nullptr});
        if (status == 0) {
            if (inspector_) inspector_(*sample);
            ++counts_.complete;
            ++completeSerial_;
            latestComplete_ = sample;
            if (hold_) held_.push_back(sample);
        } else if (status == 1) {
            ++counts_.idle;
        } else {
            ++counts_.other;
        }
    }
    changed_.notify_all();
}

void FrameCollector::holdFrames(bool hold) {
    std::lock_guard lock(mutex_);
    hold_ = hold;
}

FrameCollector::InspectionScope FrameCollector::inspectEachFrame(std::function<void(const SampleBuffer&)> inspector) {
    std::lock_guard lock(mutex_);
    inspector_ = std::move(inspector);
    return InspectionScope(*this);
}

void FrameCollector::stopInspecting() {
    std::lock_guard lock(mutex_);
    inspector_ = nullptr;
}

void FrameCollector::releaseHeldFrames() {
    std::lock_guard lock(mutex_);
    held_.clear();
    latestComplete_.reset();
}

FrameCollector::Counts FrameCollector::counts() const {
    std::lock_guard lock(mutex_);
    return counts_;
}

std::shared_ptr<SampleBuffer> FrameCollector::latestComplete() const {
    std::lock_guard lock(mutex_);
    return latestComplete_;
}

std::vector<FrameCollector::FrameRecord> FrameCollector::timeline() const {
    std::lock_guard lock(mutex_);
    return timeline_;
}

bool FrameCollector::waitUntil(const std::function<bool(const Counts&)>& predicate,
                               std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return predicate(counts_); });
}

std::shared_ptr<SampleBuffer> FrameCollector::waitForCompleteFrame(
    const std::function<bool(const SampleBuffer&)>& test, std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    uint64_t seen = completeSerial_;
    while (true) {
        if (!changed_.wait_until(lock, deadline, [&] { return completeSerial_ != seen; })) return nullptr;
        seen = completeSerial_;
        if (latestComplete_ && test(*latestComplete_)) return latestComplete_;
    }
}

std::shared_ptr<SampleBuffer> FrameCollector::waitForFrameShowing(const std::function<bool(const SampleBuffer&)>& test,
                                                                  std::chrono::milliseconds timeout) {
    {
        std::lock_guard lock(mutex_);
        if (latestComplete_ && test(*latestComplete_)) return latestComplete_;
    }
    return waitForCompleteFrame(test, timeout);
}

void RecordingDelegate::streamDidStopWithError(recorder::platform::CaptureStream&, const common::Error& error) {
    std::lock_guard lock(mutex_);
    errors_.push_back(error);
    changed_.notify_all();
}

std::vector<common::Error> RecordingDelegate::errors() const {
    std::lock_guard lock(mutex_);
    return errors_;
}

bool RecordingDelegate::waitForError(std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return !errors_.empty(); });
}

Bgra bgraAt(const PixelBuffer& buffer, int x, int y) {
    const auto& plane = buffer.plane(0);
    const uint8_t* p = plane.data + static_cast<size_t>(y) * plane.stride + static_cast<size_t>(x) * 4;
    return Bgra{p[0], p[1], p[2], p[3]};
}

Yuv nv12At(const PixelBuffer& buffer, int x, int y) {
    const auto& luma = buffer.plane(0);
    const auto& chroma = buffer.plane(1);
    const uint8_t* uv = chroma.data + static_cast<size_t>(y / 2) * chroma.stride + static_cast<size_t>(x / 2) * 2;
    return Yuv{luma.data[static_cast<size_t>(y) * luma.stride + x], uv[0], uv[1]};
}

Yuv expectedYuv(uint32_t rgb) {
    const double r = ((rgb >> 16) & 0xFF) / 255.0, g = ((rgb >> 8) & 0xFF) / 255.0, b = (rgb & 0xFF) / 255.0;
    const double y = 0.2126 * r + 0.7152 * g + 0.0722 * b;
    return Yuv{static_cast<int>(std::lround(16 + 219 * y)), static_cast<int>(std::lround(128 + 224 * (b - y) / 1.8556)),
               static_cast<int>(std::lround(128 + 224 * (r - y) / 1.5748))};
}

bool near(int a, int b, int tolerance) { return std::abs(a - b) <= tolerance; }

bool bgraIs(const Bgra& pixel, uint32_t rgb, int tolerance) {
    return near(pixel.r, (rgb >> 16) & 0xFF, tolerance) && near(pixel.g, (rgb >> 8) & 0xFF, tolerance) &&
           near(pixel.b, rgb & 0xFF, tolerance);
}

bool yuvIs(const Yuv& pixel, const Yuv& expected, int tolerance) {
    return near(pixel.y, expected.y, tolerance) && near(pixel.u, expected.u, tolerance) &&
           near(pixel.v, expected.v, tolerance);
}

std::optional<recorder::platform::Window> findWindow(const recorder::platform::ShareableContent& content,
                                                     uint32_t id) {
    for (const auto& window : content.windows) {
        if (window.windowID == id) return window;
    }
    return std::nullopt;
}

bool pollUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (true) {
        if (condition()) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(10ms);
    }
}

}  // namespace x11test
