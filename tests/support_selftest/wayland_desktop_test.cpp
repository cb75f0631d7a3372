#include "tests/support/desktop/test_programs.hpp"
#include "tests/support/desktop/wayland_desktop.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <csignal>
#include <filesystem>
#include <fstream>

namespace testsupport {
namespace {

using namespace std::chrono_literals;

// A property of the screencast portal as a client of the desktop sees it, e.g. "(<uint32 1>,)".
TestDesktop::CommandResult screenCastProperty(const WaylandDesktop& desktop, const std::string& name) {
    return desktop.run("gdbus call --session --dest org.freedesktop.portal.Desktop --object-path "
                       "/org/freedesktop/portal/desktop --method org.freedesktop.DBus.Properties.Get "
                       "org.freedesktop.portal.ScreenCast " + name);
}

bool running(int pid) { return ::kill(pid, 0) == 0; }

// The real user id a process runs as, from /proc.
std::optional<uid_t> realUid(int pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("Uid:", 0) == 0) return static_cast<uid_t>(std::stoul(line.substr(4)));
    return std::nullopt;
}

TEST(WaylandDesktop, OffersAScreenCastPortalForMonitorsAndStopsEverythingItStarted) {
    auto desktop = WaylandDesktop::start();
    const auto environment = desktop->environment();
    for (const char* name : {"WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS", "XDG_RUNTIME_DIR", "SWAYSOCK"})
        EXPECT_TRUE(environment.contains(name)) << name;
    EXPECT_EQ(environment.at("XDG_SESSION_TYPE"), "wayland");
    EXPECT_FALSE(environment.contains("DISPLAY")) << "clients must not fall back to an X server";

    // The runtime directory is the user's alone, as every Wayland and PipeWire client expects.
    struct stat runtime {};
    ASSERT_EQ(::stat(environment.at("XDG_RUNTIME_DIR").c_str(), &runtime), 0);
    EXPECT_EQ(runtime.st_mode & 0777, 0700u);
    EXPECT_EQ(runtime.st_uid, desktop->user().uid);

    // Monitors only (1), through version 4 of the interface: what the wlroots backend offers.
    auto types = screenCastProperty(*desktop, "AvailableSourceTypes");
    EXPECT_EQ(types.output, "(<uint32 1>,)\n") << types.errorOutput;
    auto version = screenCastProperty(*desktop, "version");
    EXPECT_EQ(version.output, "(<uint32 4>,)\n") << version.errorOutput;

    const auto parts = desktop->processIds();
    for (const char* part : {"bus", "pipewire", "wireplumber", "compositor", "portal backend", "portal"})
        EXPECT_TRUE(parts.contains(part)) << part;
    ASSERT_TRUE(parts.contains("portal backend"));
    const int backend = parts.at("portal backend");
    EXPECT_EQ(realUid(backend), desktop->user().uid);
    const auto state = std::filesystem::path(environment.at("XDG_RUNTIME_DIR")).parent_path();
    desktop.reset();
    EXPECT_FALSE(running(backend)) << "the portal backend outlived its desktop";
    EXPECT_FALSE(std::filesystem::exists(state));
}

TEST(WaylandDesktop, WithoutThePortalNothingAnswersForItOrIsStartedForIt) {
    auto desktop = WaylandDesktop::start({.portal = false});
    EXPECT_FALSE(desktop->processIds().contains("portal backend"));
    EXPECT_FALSE(desktop->processIds().contains("portal"));
    // The portal the machine has installed is not started on demand by this desktop's bus.
    auto types = screenCastProperty(*desktop, "AvailableSourceTypes");
    EXPECT_NE(types.status, 0);
    EXPECT_NE(types.errorOutput.find("ServiceUnknown"), std::string::npos) << types.errorOutput;
}

TEST(WaylandDesktop, RunsClientsAsItsUserAndTheStillAnimatorPaintsOnDemand) {
    auto desktop = WaylandDesktop::start({.width = 640, .height = 360, .pulseAudio = true});
    EXPECT_EQ(desktop->run("id -u").output, std::to_string(desktop->user().uid) + "\n");
    // pipewire-pulse serves the PulseAudio client API, with a sink of its own as the default.
    auto info = desktop->run("pactl info");
    EXPECT_NE(info.output.find("on PipeWire"), std::string::npos) << info.output << info.errorOutput;
    EXPECT_NE(info.output.find("Default Sink: sysout"), std::string::npos) << info.output;

    auto animator = desktop->spawn({desktop->reachableCopy(testProgramPath("wayland-animator")), "--still"});
    ASSERT_TRUE(animator->waitForStdoutLine("READY", 20s)) << animator->stderrSoFar();
    animator->writeStdin("next\n");
    EXPECT_EQ(animator->readStdoutLine(20s), "PAINTED E0A020") << animator->stderrSoFar();
    animator->writeStdin("next\n");
    EXPECT_EQ(animator->readStdoutLine(20s), "PAINTED 30B050") << animator->stderrSoFar();
    // The full-screen window really is on the compositor's output.
    auto tree = desktop->run("swaymsg -t get_tree -r");
    EXPECT_NE(tree.output.find("\"name\": \"wayland-animator\""), std::string::npos) << tree.output;
    EXPECT_NE(tree.output.find("\"fullscreen_mode\": 1"), std::string::npos);
    animator->closeStdin();
    EXPECT_EQ(animator->waitForExit(10s), 0);

    auto moving = desktop->spawn({desktop->reachableCopy(testProgramPath("wayland-animator"))});
    EXPECT_TRUE(moving->waitForStdoutLine("READY", 20s)) << moving->stderrSoFar();
}

TEST(WaylandDesktop, OnMutterThePortalOffersMonitorsAndWindows) {
    auto desktop = WaylandDesktop::start({.compositor = Compositor::mutter});
    EXPECT_EQ(desktop->environment().at("XDG_CURRENT_DESKTOP"), "GNOME");
    auto types = screenCastProperty(*desktop, "AvailableSourceTypes");
    EXPECT_EQ(types.output, "(<uint32 3>,)\n") << types.errorOutput << desktop->logs();
    auto animator = desktop->spawn({desktop->reachableCopy(testProgramPath("wayland-animator"))});
    EXPECT_TRUE(animator->waitForStdoutLine("READY", 20s)) << animator->stderrSoFar();
}

}  // namespace
}  // namespace testsupport
