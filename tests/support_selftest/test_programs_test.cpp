#include "tests/support/desktop/screen_grab.hpp"
#include "tests/support/desktop/test_desktop.hpp"
#include "tests/support/desktop/test_programs.hpp"

#include <gtest/gtest.h>

#include <xcb/xcb.h>
#include <xcb/xfixes.h>

#include <filesystem>
#include <regex>
#include <thread>

namespace testsupport {
namespace {

using namespace std::chrono_literals;

// The window id from a "READY <id>" line.
std::optional<unsigned long> readyWindow(ChildProcess& program) {
    auto line = program.readStdoutLine(20s);
    if (!line || line->rfind("READY ", 0) != 0) return std::nullopt;
    return std::stoul(line->substr(6));
}

struct Geometry {
    int x = -1, y = -1, width = -1, height = -1;
};

Geometry windowGeometry(const TestDesktop& desktop, unsigned long window) {
    auto info = desktop.run("xwininfo -id " + std::to_string(window)).output;
    auto field = [&](const std::string& name) {
        std::smatch match;
        return std::regex_search(info, match, std::regex(name + R"(:\s+(-?\d+))")) ? std::stoi(match[1]) : -1;
    };
    return {field("Absolute upper-left X"), field("Absolute upper-left Y"), field("Width"), field("Height")};
}

// The name XFixes reports for the cursor the server shows now.
std::string currentCursorName(const std::string& display) {
    std::unique_ptr<xcb_connection_t, decltype(&xcb_disconnect)> connection(xcb_connect(display.c_str(), nullptr),
                                                                             &xcb_disconnect);
    xcb_connection_t* c = connection.get();
    std::free(xcb_xfixes_query_version_reply(c, xcb_xfixes_query_version(c, 4, 0), nullptr));
    std::unique_ptr<xcb_xfixes_get_cursor_image_and_name_reply_t, decltype(&std::free)> reply(
        xcb_xfixes_get_cursor_image_and_name_reply(c, xcb_xfixes_get_cursor_image_and_name(c), nullptr), &std::free);
    if (!reply) return {};
    return std::string(xcb_xfixes_get_cursor_image_and_name_name(reply.get()),
                       static_cast<size_t>(xcb_xfixes_get_cursor_image_and_name_name_length(reply.get())));
}

class TestPrograms : public ::testing::Test {
protected:
    static void SetUpTestSuite() { desktop_ = TestDesktop::start(); }
    static void TearDownTestSuite() { desktop_.reset(); }

    std::unique_ptr<ChildProcess> start(const std::string& program, const std::vector<std::string>& arguments) {
        std::vector<std::string> argv{testProgramPath(program)};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        return ChildProcess::spawn(argv, desktop_->environment());
    }

    static inline std::unique_ptr<TestDesktop> desktop_;
};

TEST_F(TestPrograms, PathsPointAtBuiltPrograms) {
    for (const char* name : {"test-window", "moving-picture"})
        EXPECT_TRUE(std::filesystem::exists(testProgramPath(name))) << testProgramPath(name);
    EXPECT_NE(testProgramPath("recorder-agent").find("recorder-agent"), std::string::npos);
    EXPECT_NE(testProgramPath("pointer-agent").find("pointer-agent"), std::string::npos);
    EXPECT_THROW(testProgramPath("no-such-program"), std::invalid_argument);
}

TEST_F(TestPrograms, TestWindowHasTheExactClientGeometryUnderOpenbox) {
    auto window = start("test-window", {"--width", "301", "--height", "207", "--x", "50", "--y", "60", "--title", "Exact"});
    auto id = readyWindow(*window);
    ASSERT_TRUE(id.has_value()) << window->stderrSoFar();
    Geometry geometry = windowGeometry(*desktop_, *id);
    // openbox's frame: 1 pixel on the left, 20 on top.
    EXPECT_EQ(geometry.x, 51);
    EXPECT_EQ(geometry.y, 80);
    EXPECT_EQ(geometry.width, 301);
    EXPECT_EQ(geometry.height, 207);

    auto pid = desktop_->run("xprop -id " + std::to_string(*id) + " _NET_WM_PID").output;
    EXPECT_EQ(pid, "_NET_WM_PID(CARDINAL) = " + std::to_string(window->pid()) + "\n");
    auto listed = desktop_->run("wmctrl -l").output;
    EXPECT_NE(listed.find("Exact"), std::string::npos) << listed;
}

TEST_F(TestPrograms, TestWindowShowsQuadrantsUprightAndChangesColourOnCommand) {
    auto window = start("test-window", {"--width", "200", "--height", "100", "--x", "300", "--y", "300", "--pattern",
                                        "quadrants"});
    auto id = readyWindow(*window);
    ASSERT_TRUE(id.has_value()) << window->stderrSoFar();
    Geometry g = windowGeometry(*desktop_, *id);
    auto picture = grabScreen(*desktop_, g.x, g.y, g.width, g.height);
    ASSERT_TRUE(picture.has_value());
    EXPECT_EQ(picture->at(10, 10), 0xFF0000u);
    EXPECT_EQ(picture->at(189, 10), 0x00FF00u);
    EXPECT_EQ(picture->at(10, 89), 0x0000FFu);
    EXPECT_EQ(picture->at(189, 89), 0xFFFF00u);
    EXPECT_EQ(picture->at(99, 49), 0xFF0000u);
    EXPECT_EQ(picture->at(100, 50), 0xFFFF00u);

    window->writeStdin("color 123456\n");
    ASSERT_EQ(window->readStdoutLine(10s), "OK");
    picture = grabScreen(*desktop_, g.x, g.y, g.width, g.height);
    ASSERT_TRUE(picture.has_value());
    EXPECT_EQ(picture->at(0, 0), 0x123456u);
    EXPECT_EQ(picture->at(199, 99), 0x123456u);

    window->writeStdin("color nonsense\n");
    EXPECT_EQ(window->readStdoutLine(10s), "ERROR not a colour: nonsense");
    window->writeStdin("quit\n");
    EXPECT_EQ(window->readStdoutLine(10s), "OK");
    EXPECT_EQ(window->waitForExit(10s), 0);
}

TEST_F(TestPrograms, TestWindowShowsTheNamedCursorUnderThePointer) {
    auto window = start("test-window", {"--width", "200", "--height", "200", "--x", "600", "--y", "100"});
    auto id = readyWindow(*window);
    ASSERT_TRUE(id.has_value()) << window->stderrSoFar();
    Geometry g = windowGeometry(*desktop_, *id);
    ASSERT_EQ(desktop_->run("xdotool mousemove " + std::to_string(g.x + 100) + " " + std::to_string(g.y + 100)).status,
              0);
    for (const char* name : {"xterm", "hand2", "crosshair", "sb_h_double_arrow", "left_ptr"}) {
        window->writeStdin(std::string("cursor ") + name + "\n");
        ASSERT_EQ(window->readStdoutLine(10s), "OK") << name;
        EXPECT_EQ(currentCursorName(desktop_->display()), name);
    }
    window->writeStdin("cursor no-such-cursor-anywhere\n");
    EXPECT_EQ(window->readStdoutLine(10s), "ERROR no cursor named no-such-cursor-anywhere");
}

TEST_F(TestPrograms, TestWindowEndsWhenClosedOrAtEndOfInput) {
    auto closed = start("test-window", {"--title", "CloseMe"});
    auto id = readyWindow(*closed);
    ASSERT_TRUE(id.has_value());
    desktop_->run("wmctrl -ic " + std::to_string(*id));
    EXPECT_EQ(closed->waitForExit(10s), 0);

    auto orphaned = start("test-window", {});
    ASSERT_TRUE(readyWindow(*orphaned).has_value());
    orphaned->closeStdin();
    EXPECT_EQ(orphaned->waitForExit(10s), 0);
}

// The frame number that moving-picture writes into its 16-cell strip.
int counterValue(const RgbFrame& strip) {
    int value = 0;
    for (int bit = 0; bit < 16; ++bit) value = value << 1 | ((strip.at(bit * 16 + 8, 8) >> 8 & 0xFF) > 128);
    return value;
}

TEST_F(TestPrograms, MovingPictureChangesEveryFrame) {
    auto picture = start("moving-picture", {"--width", "640", "--height", "360", "--x", "900", "--y", "500"});
    auto id = readyWindow(*picture);
    ASSERT_TRUE(id.has_value()) << picture->stderrSoFar();
    Geometry g = windowGeometry(*desktop_, *id);
    EXPECT_EQ(g.width, 640);
    EXPECT_EQ(g.height, 360);
    auto pid = desktop_->run("xprop -id " + std::to_string(*id) + " _NET_WM_PID").output;
    EXPECT_EQ(pid, "_NET_WM_PID(CARDINAL) = " + std::to_string(picture->pid()) + "\n");

    auto first = grabScreen(*desktop_, g.x, g.y, g.width, g.height);
    auto begun = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(500ms);  // a span to count frames over, not a readiness wait
    auto second = grabScreen(*desktop_, g.x, g.y, g.width, g.height);
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count();
    ASSERT_TRUE(first && second);
    EXPECT_NE(first->pixels, second->pixels);
    int frames = counterValue(*second) - counterValue(*first);
    // 60 Hz, with a wide margin for a shared machine and for the time each grab takes.
    EXPECT_GT(frames, seconds * 60 * 0.6) << "over " << seconds << " s";
    EXPECT_LT(frames, seconds * 60 * 1.2 + 30) << "over " << seconds << " s";

    picture->writeStdin("quit\n");
    EXPECT_EQ(picture->waitForExit(10s), 0);
}

}  // namespace
}  // namespace testsupport
