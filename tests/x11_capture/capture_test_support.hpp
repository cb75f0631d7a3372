#pragma once

#include <xcb/xcb.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "recorder/platform/capture_service.hpp"
#include "tests/support/desktop/test_desktop.hpp"

namespace x11test {

using namespace std::chrono_literals;

// A private desktop that this test process uses (DISPLAY, and the sound server's variables).
std::unique_ptr<testsupport::TestDesktop> startDesktop(const testsupport::DesktopOptions& options = {});

// The `test-window` program: one window of an exact client size and colour in another process.
class TestWindow {
public:
    static std::unique_ptr<TestWindow> open(const testsupport::TestDesktop& desktop, int x, int y, int width,
                                            int height, const std::string& colour);
    uint32_t id() const { return id_; }
    int pid() const { return process_->pid(); }
    // SIGSTOP makes a program that repaints nothing, however it is asked.
    void sendSignal(int signal) { process_->sendSignal(signal); }
    // Sends one command line and waits for its "OK".
    void command(const std::string& line);

private:
    std::unique_ptr<testsupport::ChildProcess> process_;
    uint32_t id_ = 0;
};

// A window of this test process, drawn through its own connection, with _NET_WM_PID set.
class OwnWindow {
public:
    OwnWindow(int x, int y, int width, int height, uint32_t rgb);
    ~OwnWindow();
    uint32_t id() const { return window_; }
    // Waits until the server reports the window viewable.
    bool waitViewable(std::chrono::milliseconds timeout);

private:
    xcb_connection_t* connection_ = nullptr;
    xcb_window_t window_ = 0;
};

// Collects what a stream delivers, on the queue it delivers on.
class FrameCollector final : public recorder::platform::StreamOutput {
public:
    void streamDidOutputSampleBuffer(recorder::platform::CaptureStream& stream,
                                     std::shared_ptr<recorder::platform::SampleBuffer> sample,
                                     int outputType) override;
    // Keep every complete frame (and so its pool buffer) instead of only the latest.
    void holdFrames(bool hold);
    void releaseHeldFrames();
    // Runs on the delivery queue for every complete frame, before it is counted, until the returned
    // scope ends. Declare the scope after what the inspector captures, so that a test leaving early
    // cannot have frames inspected with its locals gone.
    class InspectionScope {
    public:
        explicit InspectionScope(FrameCollector& collector) : collector_(&collector) {}
        InspectionScope(const InspectionScope&) = delete;
        InspectionScope& operator=(const InspectionScope&) = delete;
        ~InspectionScope() { collector_->stopInspecting(); }

    private:
        FrameCollector* collector_;
    };
    [[nodiscard]] InspectionScope inspectEachFrame(std::function<void(const recorder::platform::SampleBuffer&)> inspector);

    struct Counts {
        int complete = 0;
        int idle = 0;
        int other = 0;
        int wrongType = 0;
    };
    Counts counts() const;
    std::shared_ptr<recorder::platform::SampleBuffer> latestComplete() const;
    struct FrameRecord {
        int64_t status = -1;
        common::MediaTime time;
        common::MediaTime duration;
        bool hasImage = false;
    };
    std::vector<FrameRecord> timeline() const;
    // Waits until `predicate(counts)` holds.
    bool waitUntil(const std::function<bool(const Counts&)>& predicate, std::chrono::milliseconds timeout) const;
    // Waits for a complete frame delivered after this call whose `test` holds.
    std::shared_ptr<recorder::platform::SampleBuffer> waitForCompleteFrame(
        const std::function<bool(const recorder::platform::SampleBuffer&)>& test, std::chrono::milliseconds timeout);
    // The same, but the latest complete frame delivered before the call counts too: on a screen
    // that stopped changing, the frame that shows a change may be the last complete one.
    std::shared_ptr<recorder::platform::SampleBuffer> waitForFrameShowing(
        const std::function<bool(const recorder::platform::SampleBuffer&)>& test, std::chrono::milliseconds timeout);

private:
    void stopInspecting();

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    Counts counts_;
    bool hold_ = false;
    std::function<void(const recorder::platform::SampleBuffer&)> inspector_;
    std::vector<std::shared_ptr<recorder::platform::SampleBuffer>> held_;
    std::vector<FrameRecord> timeline_;
    std::shared_ptr<recorder::platform::SampleBuffer> latestComplete_;
    uint64_t completeSerial_ = 0;
};

class RecordingDelegate final : public recorder::platform::StreamDelegate {
public:
    void streamDidStopWithError(recorder::platform::CaptureStream& stream, const common::Error& error) override;
    std::vector<common::Error> errors() const;
    bool waitForError(std::chrono::milliseconds timeout) const;

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<common::Error> errors_;
};

int64_t frameStatus(const recorder::platform::SampleBuffer& sample);

struct Bgra {
    uint8_t b = 0, g = 0, r = 0, a = 0;
};
Bgra bgraAt(const recorder::platform::PixelBuffer& buffer, int x, int y);

struct Yuv {
    int y = 0, u = 0, v = 0;
};
Yuv nv12At(const recorder::platform::PixelBuffer& buffer, int x, int y);
// The BT.709 video-range value of an RGB colour, as the encoder should see it.
Yuv expectedYuv(uint32_t rgb);

bool near(int a, int b, int tolerance);
bool bgraIs(const Bgra& pixel, uint32_t rgb, int tolerance = 2);
bool yuvIs(const Yuv& pixel, const Yuv& expected, int tolerance = 3);

// The shareable window with `id`, if it is listed.
std::optional<recorder::platform::Window> findWindow(const recorder::platform::ShareableContent& content, uint32_t id);

// Polls `condition` every 10 ms until it holds or `timeout` passes.
bool pollUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout);

}  // namespace x11test
