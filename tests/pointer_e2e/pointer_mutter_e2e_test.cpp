// pointer-agent on a headless GNOME compositor: cursor kinds from the screen cast's cursor
// metadata while a virtual pointer crosses zones of a GTK window that show different cursors, and
// the cast's end.

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>

#include "tests/pointer_e2e/virtual_pointer.hpp"
#include "tests/support/desktop/test_programs.hpp"
#include "tests/support/desktop/wayland_desktop.hpp"

namespace pointertest {
namespace {

using namespace std::chrono_literals;

constexpr auto kLineTimeout = 15s;
constexpr int kWidth = 640, kHeight = 480;
// The window's zones, left to right, each a quarter of the monitor, and what each one shows.
const std::vector<std::pair<std::string, std::string>> kZones = {
    {"default", "arrow"}, {"text", "text"}, {"pointer", "pointer"}, {"crosshair", "crosshair"}};

class PointerAgentOnMutter : public ::testing::Test {
protected:
    void SetUp() override {
        desktop = testsupport::WaylandDesktop::start(
            {.compositor = testsupport::Compositor::mutter, .width = kWidth, .height = kHeight});
        std::vector<std::string> names;
        for (const auto& zone : kZones) names.push_back(zone.first);
        window = showCursorZones(*desktop, names);
        pointer = std::make_unique<VirtualPointer>(*desktop);
        agentPath = desktop->reachableCopy(testsupport::testProgramPath("pointer-agent"));
        tokenPath = (desktop->makeDirectory("pointer") / "cursor.token").string();
    }
    void moveToZone(size_t zone) {
        const int width = kWidth / int(kZones.size());
        pointer->moveTo(int(zone) * width + width / 2, kHeight / 2);
    }
    std::unique_ptr<testsupport::ChildProcess> startAgent() {
        return desktop->spawn({agentPath, "--restore-token-path", tokenPath});
    }

    std::unique_ptr<testsupport::WaylandDesktop> desktop;
    std::unique_ptr<testsupport::ChildProcess> window;
    std::unique_ptr<VirtualPointer> pointer;
    std::string agentPath;
    std::string tokenPath;
};

TEST_F(PointerAgentOnMutter, EachCursorOfTheWindowIsReportedTheDesktopAsksOnceAndItsEndIsSaid) {
    moveToZone(0);
    auto agent = startAgent();
    EXPECT_EQ(agent->readStdoutLine(kLineTimeout), "STATE:arrow");
    for (size_t zone : {1, 2, 3, 0, 1}) {
        moveToZone(zone);
        EXPECT_EQ(agent->readStdoutLine(kLineTimeout), "STATE:" + kZones[zone].second)
            << agent->stderrSoFar() << desktop->logs();
    }
    agent->writeStdin("stop\n");
    EXPECT_EQ(agent->waitForExit(kLineTimeout), 0);
    EXPECT_EQ(agent->stderrSoFar().find("Wayland:"), std::string::npos) << agent->stderrSoFar();
    struct stat token {};
    ASSERT_EQ(::stat(tokenPath.c_str(), &token), 0) << "no token file was written";
    EXPECT_EQ(token.st_mode & 0777, 0600u);
    EXPECT_EQ(token.st_uid, desktop->user().uid);
    EXPECT_EQ(desktop->portalBackendLog().find("restore data available"), std::string::npos);

    // The second run hands the desktop the kept permission, and sees the cursor as well.
    moveToZone(2);
    agent = startAgent();
    EXPECT_EQ(agent->readStdoutLine(kLineTimeout), "STATE:arrow");
    EXPECT_EQ(agent->readStdoutLine(kLineTimeout), "STATE:pointer") << agent->stderrSoFar() << desktop->logs();
    EXPECT_NE(desktop->portalBackendLog().find("restore data available"), std::string::npos)
        << desktop->portalBackendLog();

    // The desktop withdrawing the cast leaves the cursor unknown: the arrow, and the reason once.
    desktop->killPortalBackend();
    EXPECT_EQ(agent->readStdoutLine(kLineTimeout), "STATE:arrow");
    agent->closeStdin();
    EXPECT_EQ(agent->waitForExit(kLineTimeout), 0);
    const std::string ended = "Wayland: the desktop ended the cursor screen cast; reporting the arrow\n";
    const std::string err = agent->stderrSoFar();
    const auto first = err.find(ended);
    EXPECT_NE(first, std::string::npos) << err;
    EXPECT_EQ(err.find("Wayland:", first + 1), std::string::npos) << err;
}

}  // namespace
}  // namespace pointertest
