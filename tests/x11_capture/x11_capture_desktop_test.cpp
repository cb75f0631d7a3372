// The capture service's displays, windows and applications on a real X server.
#include <gtest/gtest.h>

#include <algorithm>

#include "recorder/platform/linux/x11/x11_capture_service.hpp"
#include "tests/x11_capture/capture_test_support.hpp"

namespace x11test {
namespace {

using recorder::linux_backend::makeX11CaptureService;

// The shareable content, or an empty one (with a test failure) when the query fails.
recorder::platform::ShareableContent listing(recorder::platform::CaptureService& service, bool onScreenOnly) {
    auto content = service.shareableContent(false, onScreenOnly);
    EXPECT_TRUE(content.ok()) << content.error().message;
    return content.ok() ? content.value() : recorder::platform::ShareableContent{};
}

testsupport::DesktopOptions twoMonitors() {
    testsupport::DesktopOptions options;
    options.screenWidth = 3840;
    options.screenHeight = 1080;
    options.monitors = {{"DISP1", 0, 0, 1920, 1080}, {"DISP2", 1920, 0, 1920, 1080}};
    return options;
}

TEST(X11CaptureService, TwoMonitorsAreTwoDisplaysWithTheirFramesAndTheFirstIsMain) {
    auto desktop = startDesktop(twoMonitors());
    auto service = makeX11CaptureService();
    auto content = service->shareableContent(false, true);
    ASSERT_TRUE(content.ok()) << content.error().message;
    ASSERT_EQ(content->displays.size(), 2u);
    const auto& first = content->displays[0];
    const auto& second = content->displays[1];
    EXPECT_NE(first.displayID, second.displayID);
    EXPECT_NE(first.displayID, 0u);
    std::vector<common::Rect> frames{first.frame, second.frame};
    std::sort(frames.begin(), frames.end(), [](const auto& a, const auto& b) { return a.x < b.x; });
    EXPECT_EQ(frames[0], (common::Rect{0, 0, 1920, 1080}));
    EXPECT_EQ(frames[1], (common::Rect{1920, 0, 1920, 1080}));

    // The identifiers stay the same from one query to the next.
    auto again = service->shareableContent(false, true);
    ASSERT_TRUE(again.ok());
    EXPECT_EQ(again->displays[0].displayID, first.displayID);

    const uint32_t main = service->mainDisplayID();
    EXPECT_TRUE(main == first.displayID || main == second.displayID);
    for (const auto& display : content->displays) {
        EXPECT_EQ(service->displayBounds(display.displayID), display.frame);
        auto mode = service->displayMode(display.displayID);
        ASSERT_TRUE(mode.has_value());
        EXPECT_EQ(mode->pixelWidth, 1920);
        EXPECT_EQ(mode->width, 1920);
    }
    EXPECT_FALSE(service->displayMode(0xDEADBEEF).has_value());
    EXPECT_EQ(service->displayBounds(0xDEADBEEF), common::Rect{});
}

TEST(X11CaptureService, MonitorsDefinedAfterTheFirstQueryAreSeenWithoutAnyEvent) {
    auto desktop = startDesktop(twoMonitors());
    auto service = makeX11CaptureService();
    ASSERT_EQ(listing(*service, true).displays.size(), 2u);
    ASSERT_EQ(desktop->run("xrandr --delmonitor DISP2").status, 0);
    auto content = service->shareableContent(false, true);
    ASSERT_TRUE(content.ok());
    ASSERT_EQ(content->displays.size(), 1u);
    EXPECT_EQ(service->mainDisplayID(), content->displays[0].displayID);
}

TEST(X11CaptureService, AWindowIsListedWithItsClientFrameAndItsProcess) {
    auto desktop = startDesktop();
    auto window = TestWindow::open(*desktop, 300, 200, 320, 240, "30A050");
    auto service = makeX11CaptureService();
    auto content = service->shareableContent(false, true);
    ASSERT_TRUE(content.ok()) << content.error().message;
    auto listed = findWindow(content.value(), window->id());
    ASSERT_TRUE(listed.has_value());
    EXPECT_EQ(listed->frame.width, 320);
    EXPECT_EQ(listed->frame.height, 240);
    // The client's absolute position as xwininfo reports it (openbox adds its frame around it).
    auto info = desktop->run("xwininfo -id " + std::to_string(window->id()) +
                             " | awk '/Absolute upper-left X/{x=$4} /Absolute upper-left Y/{y=$4} END{print x, y}'");
    ASSERT_EQ(info.status, 0);
    int x = -1, y = -1;
    ASSERT_EQ(std::sscanf(info.output.c_str(), "%d %d", &x, &y), 2);
    EXPECT_EQ(listed->frame.x, x);
    EXPECT_EQ(listed->frame.y, y);
    ASSERT_TRUE(listed->owningProcessID.has_value());
    EXPECT_EQ(*listed->owningProcessID, window->pid());
    EXPECT_TRUE(std::any_of(content->applications.begin(), content->applications.end(),
                            [&](const auto& app) { return app.processID == window->pid(); }));
}

TEST(X11CaptureService, TheTopmostWindowComesFirstAndEachApplicationOnce) {
    auto desktop = startDesktop();
    auto lower = TestWindow::open(*desktop, 100, 100, 200, 200, "FF0000");
    auto upper = TestWindow::open(*desktop, 150, 150, 200, 200, "0000FF");
    auto service = makeX11CaptureService();
    // openbox raises a newly mapped window; wait until it lists both.
    std::optional<recorder::platform::ShareableContent> content;
    ASSERT_TRUE(pollUntil(
        [&] {
            auto c = service->shareableContent(false, true);
            if (!c.ok() || !findWindow(c.value(), lower->id()) || !findWindow(c.value(), upper->id())) return false;
            content = std::move(c).value();
            return true;
        },
        5s));
    auto position = [&](uint32_t id) {
        return std::find_if(content->windows.begin(), content->windows.end(),
                            [&](const auto& w) { return w.windowID == id; }) -
               content->windows.begin();
    };
    EXPECT_LT(position(upper->id()), position(lower->id()));
    std::vector<int32_t> pids;
    for (const auto& app : content->applications) pids.push_back(app.processID);
    EXPECT_EQ(std::count(pids.begin(), pids.end(), upper->pid()), 1);
    EXPECT_EQ(std::count(pids.begin(), pids.end(), lower->pid()), 1);
    EXPECT_LT(std::find(pids.begin(), pids.end(), upper->pid()), std::find(pids.begin(), pids.end(), lower->pid()));
}

TEST(X11CaptureService, AProgramWithoutAPidPropertyIsFoundThroughTheServersClientRecords) {
    auto desktop = startDesktop();
    // xlogo never sets _NET_WM_PID.
    auto xlogo = testsupport::ChildProcess::spawn({"xlogo", "-geometry", "200x200+50+50"}, desktop->environment());
    auto service = makeX11CaptureService();
    std::optional<recorder::platform::Window> found;
    ASSERT_TRUE(pollUntil(
        [&] {
            auto content = service->shareableContent(false, true);
            if (!content.ok()) return false;
            for (const auto& window : content->windows) {
                if (window.owningProcessID == xlogo->pid()) found = window;
            }
            return found.has_value();
        },
        10s))
        << "no window of xlogo (pid " << xlogo->pid() << ") was listed";
    EXPECT_EQ(desktop->run("xprop -id " + std::to_string(found->windowID) + " _NET_WM_PID").output.find("= "),
              std::string::npos);
}

TEST(X11CaptureService, AProgramConnectedWithoutAnyWindowIsAnApplication) {
    auto desktop = startDesktop();
    // xev on the root only listens: a client of the server that never creates a window.
    auto listener = testsupport::ChildProcess::spawn({"xev", "-root", "-event", "property"}, desktop->environment());
    auto service = makeX11CaptureService();
    std::vector<int32_t> pids;
    ASSERT_TRUE(pollUntil(
        [&] {
            auto content = service->shareableContent(false, true);
            if (!content.ok()) return false;
            pids.clear();
            for (const auto& app : content->applications) pids.push_back(app.processID);
            return std::count(pids.begin(), pids.end(), listener->pid()) == 1;
        },
        10s))
        << "xev (pid " << listener->pid() << ") was not listed";
    for (const auto& listed : listing(*service, true).windows) EXPECT_NE(listed.owningProcessID, listener->pid());
}

TEST(X11CaptureService, AMinimisedWindowIsNotOnScreenAndComesBackWhenRestored) {
    auto desktop = startDesktop();
    auto window = TestWindow::open(*desktop, 100, 100, 200, 150, "808000");
    auto service = makeX11CaptureService();
    ASSERT_TRUE(findWindow(listing(*service, true), window->id()));
    ASSERT_EQ(desktop->run("xdotool windowminimize " + std::to_string(window->id())).status, 0);
    EXPECT_TRUE(pollUntil([&] { return !findWindow(listing(*service, true), window->id()); }, 5s));
    // Still a client of the window manager, only not on screen.
    EXPECT_TRUE(findWindow(listing(*service, false), window->id()));
    ASSERT_EQ(desktop->run("xdotool windowactivate " + std::to_string(window->id())).status, 0);
    EXPECT_TRUE(pollUntil([&] { return findWindow(listing(*service, true), window->id()).has_value(); },
                          5s));
}

TEST(X11CaptureService, WithoutAWindowManagerTheRootsMappedChildrenAreTheWindows) {
    testsupport::DesktopOptions options;
    options.windowManager = false;
    auto desktop = startDesktop(options);
    auto window = TestWindow::open(*desktop, 40, 60, 120, 90, "123456");
    auto service = makeX11CaptureService();
    auto content = service->shareableContent(false, true);
    ASSERT_TRUE(content.ok());
    auto listed = findWindow(content.value(), window->id());
    ASSERT_TRUE(listed.has_value());
    EXPECT_EQ(listed->frame, (common::Rect{40, 60, 120, 90}));
    EXPECT_EQ(listed->owningProcessID, window->pid());
    ASSERT_EQ(desktop->run("xdotool windowunmap --sync " + std::to_string(window->id())).status, 0);
    EXPECT_FALSE(findWindow(listing(*service, true), window->id()).has_value());
}

TEST(X11CaptureService, NoDisplayGivesAnErrorThatNamesTheDisplay) {
    ::setenv("DISPLAY", ":247", 1);
    auto service = makeX11CaptureService();
    auto content = service->shareableContent(false, true);
    ASSERT_FALSE(content.ok());
    EXPECT_EQ(content.error().domain, "X11Capture");
    EXPECT_NE(content.error().message.find("\":247\""), std::string::npos) << content.error().message;
    EXPECT_FALSE(recorder::linux_backend::x11DisplayUsable());
    EXPECT_EQ(service->mainDisplayID(), 0u);
}

}  // namespace
}  // namespace x11test
