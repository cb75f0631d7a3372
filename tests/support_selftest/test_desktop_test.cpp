#include "tests/support/desktop/test_desktop.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <set>

#include <unistd.h>

namespace testsupport {
namespace {

// The pids of this process's direct children, from /proc.
std::set<int> ourChildren() {
    std::set<int> children;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::ifstream stat(entry.path() / "stat");
        std::string line;
        if (!std::getline(stat, line)) continue;
        // Fields after the parenthesised command name: state, then the parent pid.
        std::istringstream rest(line.substr(line.rfind(')') + 2));
        std::string state;
        int parent = 0;
        rest >> state >> parent;
        if (parent == ::getpid()) children.insert(std::stoi(name));
    }
    return children;
}

TEST(TestDesktop, StartsEverythingAndStopsItWithNothingLeftBehind) {
    ASSERT_TRUE(ourChildren().empty());
    auto desktop = TestDesktop::start({.windowManager = true, .pulseAudio = true});
    std::string display = desktop->display();
    ASSERT_EQ(display.rfind(":", 0), 0u) << display;
    std::string socket = "/tmp/.X11-unix/X" + display.substr(1);
    std::string runtimeDirectory = desktop->environment().at("XDG_RUNTIME_DIR");
    EXPECT_TRUE(std::filesystem::exists(socket));
    EXPECT_TRUE(std::filesystem::exists(runtimeDirectory + "/pulse/native"));
    auto started = ourChildren();
    // Xvfb, openbox, PulseAudio and one keep-alive stream per sink.
    EXPECT_EQ(started.size(), 5u);

    desktop.reset();
    for (int pid : started) EXPECT_NE(::kill(pid, 0), 0) << "process " << pid << " is still there";
    EXPECT_TRUE(ourChildren().empty());
    EXPECT_FALSE(std::filesystem::exists(socket));
    EXPECT_FALSE(std::filesystem::exists(runtimeDirectory));
}

TEST(TestDesktop, EnvironmentAndRunReachThisDesktop) {
    auto desktop = TestDesktop::start({.windowManager = false, .pulseAudio = false});
    auto environment = desktop->environment();
    EXPECT_EQ(environment.at("DISPLAY"), desktop->display());
    EXPECT_EQ(environment.count("PULSE_SERVER"), 0u) << "no PulseAudio was asked for";

    auto result = desktop->run("echo \"$DISPLAY\"; echo complaint >&2; exit 4");
    EXPECT_EQ(result.status, 4);
    EXPECT_EQ(result.output, desktop->display() + "\n");
    EXPECT_EQ(result.errorOutput, "complaint\n");

    auto info = desktop->run("xdpyinfo | grep -E 'dimensions|MIT-SHM|RANDR'");
    EXPECT_EQ(info.status, 0);
    EXPECT_NE(info.output.find("1920x1080 pixels"), std::string::npos) << info.output;
    EXPECT_NE(info.output.find("MIT-SHM"), std::string::npos) << info.output;
    EXPECT_NE(desktop->run("wmctrl -m").status, 0) << "no window manager was asked for";
}

TEST(TestDesktop, ScreenSizeAndDefinedMonitorsTakeEffect) {
    DesktopOptions options;
    options.screenWidth = 3840;
    options.screenHeight = 1080;
    options.windowManager = false;
    options.monitors = {{"DISP1", 0, 0, 1920, 1080}, {"DISP2", 1920, 0, 1920, 1080}};
    auto desktop = TestDesktop::start(options);
    auto monitors = desktop->run("xrandr --listmonitors");
    ASSERT_EQ(monitors.status, 0) << monitors.errorOutput;
    EXPECT_EQ(monitors.output.rfind("Monitors: 2\n", 0), 0u) << monitors.output;
    EXPECT_NE(monitors.output.find("DISP1 1920/508x1080/286+0+0"), std::string::npos) << monitors.output;
    EXPECT_NE(monitors.output.find("DISP2 1920/508x1080/286+1920+0"), std::string::npos) << monitors.output;
    EXPECT_NE(desktop->run("xdpyinfo").output.find("3840x1080 pixels"), std::string::npos);
}

TEST(TestDesktop, OpenboxManagesTheDesktop) {
    auto desktop = TestDesktop::start();
    auto manager = desktop->run("wmctrl -m");
    EXPECT_EQ(manager.status, 0) << manager.errorOutput;
    EXPECT_NE(manager.output.find("Name: Openbox"), std::string::npos) << manager.output;
}

TEST(TestDesktop, PulseAudioHasTheSinksTheMicrophoneAndTheKeepAliveStreams) {
    auto desktop = TestDesktop::start({.windowManager = false, .pulseAudio = true});
    auto environment = desktop->environment();
    EXPECT_EQ(environment.at("PULSE_SERVER"), "unix:" + environment.at("XDG_RUNTIME_DIR") + "/pulse/native");

    auto sinks = desktop->run("pactl list short sinks");
    EXPECT_NE(sinks.output.find("sysout"), std::string::npos) << sinks.output;
    EXPECT_NE(sinks.output.find("micfeed"), std::string::npos) << sinks.output;
    EXPECT_EQ(desktop->run("pactl get-default-sink").output, "sysout\n");
    EXPECT_EQ(desktop->run("pactl get-default-source").output, "mic\n");
    auto sources = desktop->run("pactl list sources | grep -E 'Name:|Description:'");
    EXPECT_NE(sources.output.find("Name: mic\n\tDescription: TestMic"), std::string::npos) << sources.output;

    auto streams = desktop->run("pactl list short sink-inputs | wc -l");
    EXPECT_EQ(streams.output, "2\n");
}

TEST(TestDesktop, KilledServersStopAnswering) {
    auto desktop = TestDesktop::start({.windowManager = true, .pulseAudio = true});
    ASSERT_EQ(desktop->run("pactl info >/dev/null").status, 0);
    desktop->killPulseAudio();
    EXPECT_NE(desktop->run("pactl info >/dev/null 2>&1").status, 0);

    ASSERT_EQ(desktop->run("xdpyinfo >/dev/null").status, 0);
    desktop->killXServer();
    EXPECT_NE(desktop->run("xdpyinfo >/dev/null 2>&1").status, 0);
    // The destructor still stops everything (openbox loses its server; the keep-alives their sinks).
}

TEST(TestDesktop, TwoDesktopsRunSideBySide) {
    auto first = TestDesktop::start({.windowManager = false, .pulseAudio = false});
    auto second = TestDesktop::start({.windowManager = false, .pulseAudio = false});
    EXPECT_NE(first->display(), second->display());
    EXPECT_EQ(first->run("xdpyinfo >/dev/null").status, 0);
    EXPECT_EQ(second->run("xdpyinfo >/dev/null").status, 0);
}

}  // namespace
}  // namespace testsupport
