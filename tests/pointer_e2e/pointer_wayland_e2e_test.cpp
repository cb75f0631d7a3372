// pointer-agent in a Wayland session, on a private headless sway desktop: the portal there offers
// no cursor metadata and the desktop's user may not read the input devices.

#include <gtest/gtest.h>

#include <chrono>
#include <algorithm>
#include <filesystem>
#include <string>
#include <thread>

#include "tests/support/desktop/test_programs.hpp"
#include "tests/support/desktop/wayland_desktop.hpp"

namespace {

using namespace std::chrono_literals;

constexpr auto kLineTimeout = 10s;
const std::string kNoMetadataLine =
    "Wayland: the desktop offers no cursor metadata in screen casts; cursor kinds cannot be seen, reporting the arrow\n";
const std::string kNoTapLine = "Mouse interaction event tap unavailable; click telemetry disabled\n";

int occurrences(const std::string& text, const std::string& part) {
    int count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size())) ++count;
    return count;
}

bool waitForError(testsupport::ChildProcess& agent, const std::string& line) {
    const auto deadline = std::chrono::steady_clock::now() + kLineTimeout;
    while (agent.stderrSoFar().find(line) == std::string::npos) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

TEST(PointerAgentOnSway, SaysOnceWhatTheDesktopCannotGiveAndReportsTheArrow) {
    auto desktop = testsupport::WaylandDesktop::start();
    const auto agentPath = desktop->reachableCopy(testsupport::testProgramPath("pointer-agent"));
    const auto tokenPath = desktop->makeDirectory("pointer") / "cursor.token";
    auto agent = desktop->spawn({agentPath, "--restore-token-path", tokenPath.string()});

    EXPECT_EQ(agent->readStdoutLine(kLineTimeout), "STATE:arrow") << agent->stderrSoFar();
    ASSERT_TRUE(waitForError(*agent, kNoMetadataLine)) << agent->stderrSoFar() << desktop->logs();
    // The no-metadata answer comes before any session: no dialog, and no token to keep.
    EXPECT_EQ(desktop->portalBackendLog().find("create session method invoked"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(tokenPath));

    agent->writeStdin("STOP\n");
    EXPECT_EQ(agent->waitForExit(kLineTimeout), 0);
    // Both warnings, each once, whichever came first (this desktop has no accessibility bus, and
    // the accessibility library says so too).
    const std::string err = agent->stderrSoFar();
    EXPECT_EQ(occurrences(err, kNoTapLine), 1) << err;
    EXPECT_EQ(occurrences(err, kNoMetadataLine), 1) << err;
    EXPECT_EQ(occurrences(err, "Wayland:"), 1) << err;
    EXPECT_EQ(agent->stdoutSoFar(), "STATE:arrow\n");
}

TEST(PointerAgentOnSway, PollModeAndExportNeedNothingFromTheDesktop) {
    auto desktop = testsupport::WaylandDesktop::start({.portal = false});
    const auto agentPath = desktop->reachableCopy(testsupport::testProgramPath("pointer-agent"));

    // No screen-cast portal at all: the reason in one line, and in poll mode no tap warning.
    auto polling = desktop->spawn({agentPath, "--poll-buttons"});
    EXPECT_EQ(polling->readStdoutLine(kLineTimeout), "STATE:arrow");
    ASSERT_TRUE(waitForError(*polling, "Wayland: no cursor screen cast (")) << polling->stderrSoFar();
    polling->closeStdin();
    EXPECT_EQ(polling->waitForExit(kLineTimeout), 0);
    EXPECT_EQ(polling->stderrSoFar().find(kNoTapLine), std::string::npos);

    // The export asks the desktop nothing and prints the nine cursors.
    auto exporting = desktop->spawn({agentPath, "--export-images"});
    EXPECT_EQ(exporting->waitForExit(kLineTimeout), 0);
    EXPECT_EQ(exporting->stderrSoFar(), "");
    const std::string out = exporting->stdoutSoFar();
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 9) << out.substr(0, 200);
    EXPECT_EQ(out.find("CURSOR_IMAGE:arrow:"), 0u);
}

}  // namespace
