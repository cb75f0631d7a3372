// Capture streams on a real X server: frames, pacing, idle frames, bounded buffers, exclusion,
// display changes and a server that goes away.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <algorithm>
#include <optional>

#include <unistd.h>

#include <atomic>
#include <csignal>
#include <thread>

#include "common/host_clock.hpp"
#include "common/serial_queue.hpp"
#include "recorder/platform/linux/pixels/bgra_to_nv12.hpp"
#include "recorder/platform/linux/x11/x11_capture_service.hpp"
#include "recorder/platform/linux/x11/x11_capture_stream.hpp"
#include "tests/support/desktop/test_programs.hpp"
#include "tests/x11_capture/capture_test_support.hpp"

namespace x11test {
namespace {

using recorder::platform::CaptureStream;
using recorder::platform::ContentFilter;
using recorder::platform::kPixelFormat420v;
using recorder::platform::kPixelFormatBGRA;
using recorder::platform::SampleBuffer;
using recorder::platform::StreamConfiguration;
using recorder::platform::StreamOutputType;

StreamConfiguration configuration(uint32_t pixelFormat, int queueDepth = 6) {
    StreamConfiguration config;
    config.minimumFrameInterval = common::MediaTime::make(1, 60);
    config.queueDepth = queueDepth;
    config.pixelFormat = pixelFormat;
    config.showsCursor = false;
    return config;
}

class CaptureStreamTest : public ::testing::Test {
protected:
    void TearDown() override {
        if (stream) {
            EXPECT_FALSE(stream->stopCapture().has_value());
        }
    }

    void startDesktopWith(const testsupport::DesktopOptions& options = {}) {
        desktop = startDesktop(options);
        // Frames from changes: the whole-grab path the recorder uses is what the end-to-end tests record with.
        service = recorder::linux_backend::makeX11CaptureService({.framesFromChanges = true});
    }

    recorder::platform::Display displayAt(double x) {
        auto content = service->shareableContent(false, true);
        EXPECT_TRUE(content.ok());
        for (const auto& display : content->displays) {
            if (display.frame.minX() <= x && x < display.frame.maxX()) return display;
        }
        ADD_FAILURE() << "no display at x " << x;
        return {};
    }

    recorder::platform::Window listedWindow(uint32_t id) {
        std::optional<recorder::platform::Window> found;
        EXPECT_TRUE(pollUntil(
            [&] {
                auto content = service->shareableContent(false, true);
                if (content.ok()) found = findWindow(content.value(), id);
                return found.has_value();
            },
            5s));
        return found.value_or(recorder::platform::Window{});
    }

    void startStream(const ContentFilter& filter, const StreamConfiguration& config) {
        auto made = service->makeStream(filter, config, delegate);
        ASSERT_TRUE(made.ok()) << made.error().message;
        stream = std::move(made).value();
        ASSERT_FALSE(stream->addStreamOutput(collector, StreamOutputType::screen, queue).has_value());
        auto started = stream->startCapture();
        ASSERT_FALSE(started.has_value()) << started->message;
    }

    recorder::linux_backend::x11::FrameGrabberStatistics statistics() {
        auto* x11Stream = dynamic_cast<recorder::linux_backend::x11::X11CaptureStream*>(stream.get());
        return x11Stream->frameStatistics().value();
    }

    std::unique_ptr<testsupport::TestDesktop> desktop;
    std::shared_ptr<recorder::platform::CaptureService> service;
    common::SerialQueue queue{"x11test.samples"};
    std::shared_ptr<FrameCollector> collector = std::make_shared<FrameCollector>();
    std::shared_ptr<RecordingDelegate> delegate = std::make_shared<RecordingDelegate>();
    std::shared_ptr<CaptureStream> stream;
};

constexpr uint32_t kGreen = 0x30A050;

TEST_F(CaptureStreamTest, BGRAFramesShowTheWindowWhereItIsAndArriveAtTheFrameRate) {
    startDesktopWith();
    auto window = TestWindow::open(*desktop, 200, 150, 320, 240, "30A050");
    const auto frame = listedWindow(window->id()).frame;
    const common::MediaTime before = common::hostTimeNow();
    startStream(ContentFilter{displayAt(0), {}, {}}, configuration(kPixelFormatBGRA));

    auto first = collector->waitForCompleteFrame([](const SampleBuffer&) { return true; }, 5s);
    ASSERT_TRUE(first);
    const auto& image = first->imageBuffer();
    ASSERT_TRUE(image);
    EXPECT_EQ(image->pixelFormat(), kPixelFormatBGRA);
    EXPECT_EQ(image->width(), 1920);
    EXPECT_EQ(image->height(), 1080);
    const int left = static_cast<int>(frame.x), top = static_cast<int>(frame.y);
    for (auto [x, y] : {std::pair{left, top}, std::pair{left + 319, top + 239}, std::pair{left + 160, top + 120}}) {
        const Bgra pixel = bgraAt(*image, x, y);
        EXPECT_TRUE(bgraIs(pixel, kGreen, 0)) << "at " << x << "," << y << ": " << int(pixel.r) << " " << int(pixel.g)
                                              << " " << int(pixel.b);
        EXPECT_EQ(pixel.a, 255);
    }
    EXPECT_FALSE(bgraIs(bgraAt(*image, left + 320, top + 120), kGreen, 0));  // just right of the window
    EXPECT_EQ(first->duration(), common::MediaTime::make(1, 60));
    EXPECT_FALSE(first->decodeTimeStamp().isValid());
    EXPECT_GE(first->presentationTimeStamp(), before);
    EXPECT_LE(first->presentationTimeStamp(), common::hostTimeNow());

    // Complete and idle frames together come at the configured rate, with rising host times.
    ASSERT_TRUE(collector->waitUntil([](const auto& c) { return c.idle >= 1; }, 5s));
    const size_t startIndex = collector->timeline().size();
    std::this_thread::sleep_for(2s);  // the span being measured, not a wait for readiness
    const auto timeline = collector->timeline();
    const size_t delivered = timeline.size() - startIndex;
    // A starved machine may skip a tick now and then; a stream paced at 30 Hz would give 60.
    EXPECT_GE(delivered, 90u);
    EXPECT_LE(delivered, 122u);
    // Every frame sits on the 1/60 s grid: gaps are whole frame intervals, never less than one.
    const double interval = 1.0 / 60;
    for (size_t i = startIndex + 1; i < timeline.size(); ++i) {
        const double gap = (timeline[i].time - timeline[i - 1].time).seconds();
        EXPECT_GE(gap, interval - 1e-6);
        EXPECT_NEAR(gap / interval, std::round(gap / interval), 0.01);
    }
}

TEST_F(CaptureStreamTest, NV12FramesCarryTheWindowsColourInVideoRangeBT709) {
    startDesktopWith();
    auto window = TestWindow::open(*desktop, 101, 77, 200, 100, "30A050");
    auto red = TestWindow::open(*desktop, 600, 400, 100, 100, "FF0000");
    const auto greenFrame = listedWindow(window->id()).frame;
    const auto redFrame = listedWindow(red->id()).frame;
    startStream(ContentFilter{displayAt(0), {}, {}}, configuration(kPixelFormat420v));
    auto frame = collector->waitForCompleteFrame([](const SampleBuffer&) { return true; }, 5s);
    ASSERT_TRUE(frame);
    const auto& image = *frame->imageBuffer();
    EXPECT_EQ(image.pixelFormat(), kPixelFormat420v);
    ASSERT_EQ(image.planeCount(), 2u);
    const Yuv green = nv12At(image, static_cast<int>(greenFrame.midX()), static_cast<int>(greenFrame.midY()));
    EXPECT_TRUE(yuvIs(green, expectedYuv(kGreen))) << green.y << " " << green.u << " " << green.v;
    const Yuv redPixel = nv12At(image, static_cast<int>(redFrame.midX()), static_cast<int>(redFrame.midY()));
    EXPECT_TRUE(yuvIs(redPixel, expectedYuv(0xFF0000))) << redPixel.y << " " << redPixel.u << " " << redPixel.v;
}

// The screen as NV12, grabbed whole through a connection of the test's own and converted whole.
struct ScreenNv12 {
    int width = 0, height = 0;
    std::vector<uint8_t> y, uv;
};
std::optional<ScreenNv12> grabScreenAsNv12() {
    xcb_connection_t* c = xcb_connect(nullptr, nullptr);
    std::unique_ptr<xcb_connection_t, void (*)(xcb_connection_t*)> owned(c, xcb_disconnect);
    if (xcb_connection_has_error(c)) return std::nullopt;
    const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
    ScreenNv12 out{screen->width_in_pixels, screen->height_in_pixels, {}, {}};
    std::unique_ptr<xcb_get_image_reply_t, decltype(&free)> image(
        xcb_get_image_reply(c, xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, screen->root, 0, 0, out.width, out.height, ~0u),
                            nullptr),
        &free);
    if (!image) return std::nullopt;
    out.y.resize(size_t(out.width) * out.height);
    out.uv.resize(size_t(out.width) * (out.height / 2));
    recorder::linux_backend::convertBGRAToNV12BT709(xcb_get_image_data(image.get()), out.width * 4, out.width,
                                                    out.height, out.y.data(), out.width, out.uv.data(), out.width);
    return out;
}

bool sameNv12(const recorder::platform::PixelBuffer& frame, const ScreenNv12& screen) {
    if (frame.width() != screen.width || frame.height() != screen.height) return false;
    for (int plane = 0; plane < 2; ++plane) {
        const auto& p = frame.plane(plane);
        const auto& expected = plane == 0 ? screen.y : screen.uv;
        for (int row = 0; row < p.height; ++row) {
            if (std::memcmp(p.data + size_t(row) * p.stride, &expected[size_t(row) * screen.width], screen.width) != 0)
                return false;
        }
    }
    return true;
}

TEST_F(CaptureStreamTest, NV12FramesMadeFromTheChangesShowExactlyWhatTheScreenShows) {
    startDesktopWith();
    auto moving = testsupport::ChildProcess::spawn(
        {testsupport::testProgramPath("moving-picture"), "--width", "321", "--height", "181", "--x", "41", "--y", "37"},
        desktop->environment());
    ASSERT_TRUE(moving->readStdoutLine(10s).value_or("").rfind("READY", 0) == 0);
    auto window = TestWindow::open(*desktop, 901, 303, 301, 201, "30A050");
    listedWindow(window->id());
    startStream(ContentFilter{displayAt(0), {}, {}}, configuration(kPixelFormat420v));
    // Buffers go round the pool many times while two places change at once.
    ASSERT_TRUE(pollUntil([&] { return statistics().partialFrames >= 40; }, 10s));
    for (const char* colour : {"FF0000", "0000FF", "FFFF00"}) window->command(std::string("color ") + colour);
    moving->sendSignal(SIGSTOP);
    // Still once the last frames were idle: every change has been delivered.
    ASSERT_TRUE(pollUntil(
        [&] {
            const auto timeline = collector->timeline();
            return timeline.size() > 12 && std::all_of(timeline.end() - 12, timeline.end(),
                                                       [](const auto& record) { return record.status == 1; });
        },
        5s));
    const auto screen = grabScreenAsNv12();
    ASSERT_TRUE(screen);
    EXPECT_TRUE(sameNv12(*collector->latestComplete()->imageBuffer(), *screen));
    // The still picture's refreshes come from other buffers of the pool: each must be right too.
    std::atomic<int> right{0}, wrong{0};
    {
        auto scope = collector->inspectEachFrame(
            [&](const SampleBuffer& sample) { ++(sameNv12(*sample.imageBuffer(), *screen) ? right : wrong); });
        const int complete = collector->counts().complete;
        ASSERT_TRUE(collector->waitUntil([&](const auto& c) { return c.complete >= complete + 4; }, 5s));
    }
    EXPECT_GE(right.load(), 4);
    EXPECT_EQ(wrong.load(), 0);
    moving->sendSignal(SIGCONT);
}

// Frames are made from what changed plus older buffers of the pool, whatever the consumer does
// with them: drops them at once, holds a few for a while (those buffers miss changes and come back
// later), or holds every one, so that frames are skipped while the screen changes. Each change must
// show, exactly as the screen shows it, in the first frame that carries it.
TEST_F(CaptureStreamTest, AChangeMadeWhileTheConsumerDropsOrHoldsFramesShowsInTheNextFrame) {
    startDesktopWith();
    auto left = TestWindow::open(*desktop, 101, 77, 161, 95, "30A050");
    auto right = TestWindow::open(*desktop, 1201, 603, 301, 201, "30A050");
    const auto leftFrame = listedWindow(left->id()).frame;
    const auto rightFrame = listedWindow(right->id()).frame;
    startStream(ContentFilter{displayAt(0), {}, {}}, configuration(kPixelFormat420v));
    ASSERT_TRUE(collector->waitForCompleteFrame([](const SampleBuffer&) { return true; }, 5s));
    const uint32_t colours[] = {0xFF0000, 0x0000FF, 0xFFFF00, 0x00FFFF, 0xFF00FF, 0x808080, 0x30A050, 0xFFFFFF};
    auto showsColour = [](const auto& frame, uint32_t rgb) {
        return [&frame, rgb](const SampleBuffer& sample) {
            return yuvIs(nv12At(*sample.imageBuffer(), static_cast<int>(frame.midX()), static_cast<int>(frame.midY())),
                         expectedYuv(rgb));
        };
    };
    char hex[8];
    const uint64_t partialBefore = statistics().partialFrames;
    std::vector<std::shared_ptr<SampleBuffer>> sittingOut;  // their buffers miss the next changes
    for (int cycle = 0; cycle < 16; ++cycle) {
        if (cycle % 4 == 3) sittingOut.clear();
        auto& window = cycle % 2 ? *left : *right;
        const auto& frame = cycle % 2 ? leftFrame : rightFrame;
        const uint32_t colour = colours[cycle % 8];
        std::snprintf(hex, sizeof hex, "%06X", colour);
        window.command(std::string("color ") + hex);
        const auto shown = collector->waitForCompleteFrame(showsColour(frame, colour), 5s);
        ASSERT_TRUE(shown) << "cycle " << cycle;
        const auto screen = grabScreenAsNv12();
        ASSERT_TRUE(screen);
        EXPECT_TRUE(sameNv12(*shown->imageBuffer(), *screen)) << "cycle " << cycle;
        if (cycle % 4 == 1 || cycle % 4 == 2) sittingOut.push_back(shown);
    }
    EXPECT_GE(statistics().partialFrames, partialBefore + 8);

    // Every buffer held: frames are skipped, and a change made meanwhile waits for a free buffer.
    collector->holdFrames(true);
    for (int i = 0; statistics().skippedFrames == 0; ++i) {
        ASSERT_LT(i, 12) << "the pool never ran out";
        std::snprintf(hex, sizeof hex, "%06X", colours[i % 8]);
        left->command(std::string("color ") + hex);
        pollUntil([&] { return statistics().skippedFrames > 0; }, 100ms);
    }
    right->command("color 123456");
    const uint64_t skipped = statistics().skippedFrames;
    ASSERT_TRUE(pollUntil([&] { return statistics().skippedFrames >= skipped + 3; }, 5s));
    const auto screen = grabScreenAsNv12();
    ASSERT_TRUE(screen);
    std::atomic<int> verdict{-1};  // of the first frame delivered after the release: 1 when right
    const size_t delivered = collector->timeline().size();  // nothing is delivered while skipping
    {
        auto scope = collector->inspectEachFrame([&](const SampleBuffer& sample) {
            int none = -1;
            verdict.compare_exchange_strong(none, sameNv12(*sample.imageBuffer(), *screen) ? 1 : 0);
        });
        collector->holdFrames(false);
        collector->releaseHeldFrames();
        ASSERT_TRUE(pollUntil([&] { return verdict.load() != -1; }, 5s));
    }
    EXPECT_EQ(verdict.load(), 1);
    const auto timeline = collector->timeline();
    ASSERT_GT(timeline.size(), delivered);
    EXPECT_EQ(timeline[delivered].status, 0) << "the frame after the release is not a complete one";
}

TEST_F(CaptureStreamTest, AStillScreenGivesIdleFramesWithARareRefreshUntilSomethingChanges) {
    startDesktopWith();
    auto window = TestWindow::open(*desktop, 300, 300, 200, 200, "30A050");
    const auto frame = listedWindow(window->id()).frame;
    startStream(ContentFilter{displayAt(0), {}, {}}, configuration(kPixelFormatBGRA));

    // For a while after the start every frame is complete, for a consumer that begins listening late.
    ASSERT_TRUE(collector->waitUntil([](const auto& c) { return c.idle >= 10; }, 5s));
    const auto start = collector->timeline();
    const common::MediaTime settling = start.front().time + common::MediaTime::make(400, 1000);
    int settlingFrames = 0;
    for (const auto& record : start) {
        if (record.time >= settling) break;
        EXPECT_EQ(record.status, 0) << "frame " << settlingFrames;
        ++settlingFrames;
    }
    EXPECT_GE(settlingFrames, 2);

    // Then nothing moves: idle frames without a picture, and a complete one about every 0.25 s.
    const auto settled = collector->counts();
    ASSERT_TRUE(collector->waitUntil([&](const auto& c) { return c.idle >= settled.idle + 120; }, 10s));
    const int refreshes = collector->counts().complete - settled.complete;
    EXPECT_GE(refreshes, 4);   // about 2 s of idle frames
    EXPECT_LE(refreshes, 12);
    for (const auto& record : collector->timeline()) {
        if (record.status == 1) {
            EXPECT_FALSE(record.hasImage);
        }
    }
    EXPECT_EQ(collector->counts().other, 0);

    window->command("color FF0000");
    auto changed = collector->waitForFrameShowing(
        [&](const SampleBuffer& sample) {
            return bgraIs(bgraAt(*sample.imageBuffer(), static_cast<int>(frame.midX()), static_cast<int>(frame.midY())),
                          0xFF0000);
        },
        2s);
    EXPECT_TRUE(changed);
}

TEST_F(CaptureStreamTest, AChangeOnAnotherMonitorDoesNotMakeACompleteFrame) {
    testsupport::DesktopOptions options;
    options.screenWidth = 3840;
    options.monitors = {{"DISP1", 0, 0, 1920, 1080}, {"DISP2", 1920, 0, 1920, 1080}};
    startDesktopWith(options);
    auto elsewhere = TestWindow::open(*desktop, 2200, 200, 200, 200, "30A050");
    listedWindow(elsewhere->id());
    startStream(ContentFilter{displayAt(0), {}, {}}, configuration(kPixelFormatBGRA));
    ASSERT_TRUE(collector->waitUntil([](const auto& c) { return c.complete >= 1 && c.idle >= 10; }, 5s));
    const int complete = collector->counts().complete;
    const auto changesStarted = std::chrono::steady_clock::now();
    constexpr int kChanges = 20;
    const char* colours[] = {"FF0000", "0000FF", "FFFF00", "00FFFF", "FF00FF"};
    for (int i = 0; i < kChanges; ++i) elsewhere->command(std::string("color ") + colours[i % 5]);
    const int idle = collector->counts().idle;
    ASSERT_TRUE(collector->waitUntil([&](const auto& c) { return c.idle >= idle + 20; }, 5s));
    // Only the refreshes of a still picture, four a second; each change would have made one more.
    const auto elapsed = std::chrono::steady_clock::now() - changesStarted;
    const int refreshes = 1 + static_cast<int>(elapsed / 250ms);
    ASSERT_LT(refreshes, kChanges / 2) << "too slow a machine for the comparison to mean anything";
    EXPECT_LE(collector->counts().complete, complete + refreshes);
}

TEST_F(CaptureStreamTest, AConsumerHoldingEveryBufferMakesFramesBeSkippedNotQueued) {
    startDesktopWith();
    auto moving = testsupport::ChildProcess::spawn(
        {testsupport::testProgramPath("moving-picture"), "--width", "640", "--height", "360", "--x", "0", "--y", "0"},
        desktop->environment());
    ASSERT_TRUE(moving->readStdoutLine(10s).value_or("").rfind("READY", 0) == 0);
    collector->holdFrames(true);
    startStream(ContentFilter{displayAt(0), {}, {}}, configuration(kPixelFormatBGRA, 2));
    ASSERT_TRUE(collector->waitUntil([](const auto& c) { return c.complete >= 2; }, 5s));
    ASSERT_TRUE(pollUntil([&] { return statistics().skippedFrames >= 20; }, 5s));
    EXPECT_EQ(collector->counts().complete, 2);  // never more frames in flight than the queue depth

    collector->releaseHeldFrames();
    collector->holdFrames(false);
    const int before = collector->counts().complete;
    EXPECT_TRUE(collector->waitUntil([&](const auto& c) { return c.complete >= before + 5; }, 10s));
}

TEST_F(CaptureStreamTest, AnExcludedApplicationsWindowsNeverShowEvenThoseOpenedLater) {
    startDesktopWith();
    auto hidden = TestWindow::open(*desktop, 100, 100, 300, 200, "FF0000");
    auto shown = TestWindow::open(*desktop, 600, 100, 300, 200, "0000FF");
    const auto hiddenFrame = listedWindow(hidden->id()).frame;
    const auto shownFrame = listedWindow(shown->id()).frame;
    const int self = static_cast<int>(::getpid());

    // Every complete frame is searched for the excluded windows' colours (every 4th pixel, which
    // no window of these sizes can slip through).
    std::atomic<int> leaks = 0;
    std::atomic<int> checked = 0;
    const auto inspecting = collector->inspectEachFrame([&](const SampleBuffer& sample) {
        const auto& image = *sample.imageBuffer();
        ++checked;
        for (int y = 0; y < image.height(); y += 4) {
            for (int x = 0; x < image.width(); x += 4) {
                const Bgra pixel = bgraAt(image, x, y);
                if (bgraIs(pixel, 0xFF0000, 0) || bgraIs(pixel, 0xFFFF00, 0)) {
                    ++leaks;
                    return;
                }
            }
        }
    });
    startStream(ContentFilter{displayAt(0), {{hidden->pid()}, {self}}, {}}, configuration(kPixelFormatBGRA));
    auto first = collector->waitForCompleteFrame([](const SampleBuffer&) { return true; }, 5s);
    ASSERT_TRUE(first);
    const auto& image = *first->imageBuffer();
    EXPECT_TRUE(bgraIs(bgraAt(image, static_cast<int>(hiddenFrame.midX()), static_cast<int>(hiddenFrame.midY())),
                       0x808080, 0));
    // The window manager's title bar above the client belongs to the excluded window too.
    EXPECT_TRUE(bgraIs(bgraAt(image, static_cast<int>(hiddenFrame.midX()), static_cast<int>(hiddenFrame.y) - 5),
                       0x808080, 0));
    EXPECT_TRUE(bgraIs(bgraAt(image, static_cast<int>(shownFrame.midX()), static_cast<int>(shownFrame.midY())),
                       0x0000FF, 0));

    // A window of an excluded process (this one) that appears during the capture.
    OwnWindow later(300, 500, 200, 150, 0xFFFF00);
    ASSERT_TRUE(later.waitViewable(5s));
    const auto laterFrame = listedWindow(later.id()).frame;
    auto greyed = collector->waitForFrameShowing(
        [&](const SampleBuffer& sample) {
            return bgraIs(bgraAt(*sample.imageBuffer(), static_cast<int>(laterFrame.midX()),
                                 static_cast<int>(laterFrame.midY())),
                          0x808080, 0);
        },
        3s);
    EXPECT_TRUE(greyed);
    // Moving the excluded window keeps it hidden at its new place.
    ASSERT_EQ(desktop->run("xdotool windowmove --sync " + std::to_string(hidden->id()) + " 1000 600").status, 0);
    const auto moved = listedWindow(hidden->id()).frame;
    auto afterMove = collector->waitForFrameShowing(
        [&](const SampleBuffer& sample) {
            return bgraIs(bgraAt(*sample.imageBuffer(), static_cast<int>(moved.midX()), static_cast<int>(moved.midY())),
                          0x808080, 0);
        },
        3s);
    EXPECT_TRUE(afterMove);
    EXPECT_GT(checked.load(), 1);
    EXPECT_EQ(leaks.load(), 0);
}

TEST_F(CaptureStreamTest, WhatLiesBeneathAnExcludedWindowShowsAndTheBareDesktopIsNeutral) {
    startDesktopWith();
    auto below = TestWindow::open(*desktop, 100, 100, 400, 300, "0000FF");
    const auto belowFrame = listedWindow(below->id()).frame;
    // Over the right half of the blue window and beyond it, onto the bare desktop.
    auto above = TestWindow::open(*desktop, static_cast<int>(belowFrame.x) + 200, static_cast<int>(belowFrame.y) + 50,
                                  400, 150, "FF0000");
    const auto aboveFrame = listedWindow(above->id()).frame;
    ASSERT_LT(aboveFrame.x, belowFrame.maxX());
    ASSERT_GT(aboveFrame.maxX(), belowFrame.maxX() + 50);
    startStream(ContentFilter{displayAt(0), {{above->pid()}}, {}}, configuration(kPixelFormatBGRA));
    const int y = static_cast<int>(aboveFrame.midY());
    // Until the blue window has repainted what the red one covered, that part is grey.
    auto frame = collector->waitForFrameShowing(
        [&](const SampleBuffer& sample) {
            return bgraIs(bgraAt(*sample.imageBuffer(), static_cast<int>(belowFrame.maxX()) - 20, y), 0x0000FF, 0);
        },
        5s);
    ASSERT_TRUE(frame) << "the window beneath never showed";
    EXPECT_TRUE(bgraIs(bgraAt(*frame->imageBuffer(), static_cast<int>(belowFrame.maxX()) + 30, y), 0x808080, 0));
}

TEST_F(CaptureStreamTest, BeneathAnExcludedWindowABusyWindowIsGreyUntilItRepaints) {
    startDesktopWith();
    auto below = TestWindow::open(*desktop, 100, 100, 400, 300, "0000FF");
    const auto belowFrame = listedWindow(below->id()).frame;
    auto above = TestWindow::open(*desktop, static_cast<int>(belowFrame.x) + 100, static_cast<int>(belowFrame.y) + 50,
                                  200, 150, "FF0000");
    const auto aboveFrame = listedWindow(above->id()).frame;
    ASSERT_TRUE(aboveFrame.x > belowFrame.x && aboveFrame.maxX() < belowFrame.maxX());
    const int midX = static_cast<int>(aboveFrame.midX()), midY = static_cast<int>(aboveFrame.midY());
    std::atomic<int> leaks = 0;
    const auto inspecting = collector->inspectEachFrame([&](const SampleBuffer& sample) {
        const auto& image = *sample.imageBuffer();
        for (int y = static_cast<int>(aboveFrame.y); y < static_cast<int>(aboveFrame.maxY()); y += 4) {
            for (int x = static_cast<int>(aboveFrame.x); x < static_cast<int>(aboveFrame.maxX()); x += 4) {
                if (bgraIs(bgraAt(image, x, y), 0xFF0000, 0)) {
                    ++leaks;
                    return;
                }
            }
        }
    });
    // Stopped, the blue window's program cannot redraw what the red window covered of it.
    below->sendSignal(SIGSTOP);
    startStream(ContentFilter{displayAt(0), {{above->pid()}}, {}}, configuration(kPixelFormatBGRA));
    auto grey = collector->waitForFrameShowing(
        [&](const SampleBuffer& sample) { return bgraIs(bgraAt(*sample.imageBuffer(), midX, midY), 0x808080, 0); },
        5s);
    EXPECT_TRUE(grey);
    below->sendSignal(SIGCONT);
    auto blue = collector->waitForFrameShowing(
        [&](const SampleBuffer& sample) { return bgraIs(bgraAt(*sample.imageBuffer(), midX, midY), 0x0000FF, 0); },
        5s);
    EXPECT_TRUE(blue) << "the window beneath never showed after its program repainted";
    EXPECT_EQ(leaks.load(), 0);
}

TEST_F(CaptureStreamTest, ANewFilterSwitchesToTheOtherMonitorForGood) {
    testsupport::DesktopOptions options;
    options.screenWidth = 3840;
    options.monitors = {{"DISP1", 0, 0, 1280, 1080}, {"DISP2", 1280, 0, 2560, 1080}};
    startDesktopWith(options);
    auto window = TestWindow::open(*desktop, 1500, 300, 200, 200, "30A050");
    const auto frame = listedWindow(window->id()).frame;
    startStream(ContentFilter{displayAt(0), {}, {}}, configuration(kPixelFormatBGRA));
    auto first = collector->waitForCompleteFrame([](const SampleBuffer&) { return true; }, 5s);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->imageBuffer()->width(), 1280);

    const auto second = displayAt(1300);
    ASSERT_FALSE(stream->updateContentFilter(ContentFilter{second, {}, {}}).has_value());
    // The grabber switches before the update returns, but a frame grabbed just before may still
    // be on its way to the output queue; after the first frame of the new monitor there is no other.
    auto next = collector->waitForCompleteFrame(
        [](const SampleBuffer& sample) { return sample.imageBuffer()->width() == 2560; }, 5s);
    ASSERT_TRUE(next);
    const auto& image = *next->imageBuffer();
    EXPECT_EQ(image.height(), 1080);
    EXPECT_TRUE(bgraIs(bgraAt(image, static_cast<int>(frame.midX()) - 1280, static_cast<int>(frame.midY())), kGreen, 0));
    EXPECT_FALSE(collector->waitForCompleteFrame(
        [](const SampleBuffer& sample) { return sample.imageBuffer()->width() != 2560; }, 1s));
}

TEST_F(CaptureStreamTest, NothingIsDeliveredAfterStopReturns) {
    startDesktopWith();
    auto moving = testsupport::ChildProcess::spawn({testsupport::testProgramPath("moving-picture")},
                                                   desktop->environment());
    ASSERT_TRUE(moving->readStdoutLine(10s).value_or("").rfind("READY", 0) == 0);
    startStream(ContentFilter{displayAt(0), {}, {}}, configuration(kPixelFormat420v));
    ASSERT_TRUE(collector->waitUntil([](const auto& c) { return c.complete >= 10; }, 5s));
    ASSERT_FALSE(stream->stopCapture().has_value());
    const size_t delivered = collector->timeline().size();
    queue.sync([] {});
    std::this_thread::sleep_for(200ms);  // frames would keep coming every 17 ms if the grab still ran
    queue.sync([] {});
    EXPECT_EQ(collector->timeline().size(), delivered);
    auto restarted = stream->startCapture();
    ASSERT_TRUE(restarted.has_value());
    EXPECT_EQ(restarted->domain, "X11Capture");
    stream.reset();
}

TEST_F(CaptureStreamTest, AServerThatGoesAwayStopsTheStreamWithOneErrorAndTheProcessLivesOn) {
    startDesktopWith();
    // A picture that changes every frame keeps the stream sending requests when the server dies.
    auto moving = testsupport::ChildProcess::spawn({testsupport::testProgramPath("moving-picture")},
                                                   desktop->environment());
    ASSERT_TRUE(moving->readStdoutLine(10s).value_or("").rfind("READY", 0) == 0);
    startStream(ContentFilter{displayAt(0), {}, {}}, configuration(kPixelFormatBGRA));
    ASSERT_TRUE(collector->waitUntil([](const auto& c) { return c.complete >= 10; }, 5s));
    desktop->killXServer();
    ASSERT_TRUE(delegate->waitForError(5s));
    const auto delivered = collector->timeline().size();
    std::this_thread::sleep_for(200ms);  // a second report or further frames would show up in this span
    const auto errors = delegate->errors();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0].domain, "X11Capture");
    EXPECT_EQ(errors[0].message.rfind("the X display connection was lost", 0), 0u) << errors[0].message;
    queue.sync([] {});
    EXPECT_EQ(collector->timeline().size(), delivered);
    EXPECT_FALSE(stream->stopCapture().has_value());
    stream.reset();
}

TEST_F(CaptureStreamTest, AStreamOnADisplayThatIsGoneFailsToStartWithAReason) {
    startDesktopWith();
    ContentFilter filter{recorder::platform::Display{99, common::Rect{5000, 0, 100, 100}}, {}, {}};
    auto made = service->makeStream(filter, configuration(kPixelFormatBGRA), delegate);
    ASSERT_TRUE(made.ok());
    ASSERT_FALSE(made.value()->addStreamOutput(collector, StreamOutputType::screen, queue).has_value());
    auto started = made.value()->startCapture();
    ASSERT_TRUE(started.has_value());
    EXPECT_NE(started->message.find("outside the X screen"), std::string::npos) << started->message;
    EXPECT_FALSE(made.value()->stopCapture().has_value());
}

}  // namespace
}  // namespace x11test
