#include <gtest/gtest.h>
#include <unistd.h>

#include <future>

#include "pointer/agent_options.hpp"
#include "pointer/platform/linux/cairo_image_renderer.hpp"
#include "pointer/platform/linux/xcursor_theme_library.hpp"
#include "pointer/pointer_agent.hpp"
#include "pointer/state_reporter.hpp"
#include "pointer/stop_reader.hpp"
#include "pointer_fakes.hpp"

namespace pointer {
namespace {

using Lines = std::vector<std::string>;

TEST(AgentOptions, MatchedAsWholeArgumentsAnywhere) {
    const auto both = parseAgentOptions({"x", "--poll-buttons", "--export-images"});
    EXPECT_TRUE(both.exportImages);
    EXPECT_TRUE(both.pollButtons);
    const auto neither = parseAgentOptions({"--export-images=1", "--POLL-BUTTONS", "-poll-buttons"});
    EXPECT_FALSE(neither.exportImages);
    EXPECT_FALSE(neither.pollButtons);
    const auto information = parseAgentOptions({"--export-images", "--version", "--help"});
    EXPECT_TRUE(information.help);
    EXPECT_TRUE(information.version);
    const auto none = parseAgentOptions({"-h", "--HELP", "--version=1", "help"});
    EXPECT_FALSE(none.help);
    EXPECT_FALSE(none.version);
    EXPECT_FALSE(neither.restoreTokenPath);
    // The token file is the argument after the option, whatever it looks like.
    const auto token = parseAgentOptions({"--restore-token-path", "--poll-buttons", "--export-images"});
    EXPECT_EQ(token.restoreTokenPath, "--poll-buttons");
    EXPECT_FALSE(token.pollButtons);
    EXPECT_TRUE(token.exportImages);
    EXPECT_FALSE(parseAgentOptions({"--poll-buttons", "--restore-token-path"}).restoreTokenPath);
    EXPECT_FALSE(parseAgentOptions({"--restore-token-path", ""}).restoreTokenPath);
}

TEST(StateReporter, PrintsTheFirstStateAndThenOnlyChanges) {
    Lines answers{"arrow", "arrow", "text", "arrow", "text", "text"};
    size_t next = 0;
    testing::RecordingLineSink sink;
    StateReporter reporter([&] { return answers[next++]; }, sink);
    for (size_t i = 0; i < answers.size(); ++i) reporter.emitStateIfNeeded();
    EXPECT_EQ(sink.outLines(), (Lines{"STATE:arrow", "STATE:text", "STATE:arrow", "STATE:text"}));
}

// Feeds `input` to the stop reader through a pipe; true when it stopped before the pipe closed.
bool stopsOn(const std::string& input) {
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    EXPECT_EQ(write(fds[1], input.data(), input.size()), ssize_t(input.size()));
    std::promise<void> stopped;
    auto done = stopped.get_future();
    std::thread reader([&] { readUntilStop(fds[0], [&] { stopped.set_value(); }); });
    const bool early = done.wait_for(std::chrono::seconds(2)) == std::future_status::ready;
    close(fds[1]);
    reader.join();
    close(fds[0]);
    return early;
}

TEST(StopReader, StopInAnyCaseEndsItButNotWithBlanks) {
    EXPECT_TRUE(stopsOn("stop\n"));
    EXPECT_TRUE(stopsOn("hello\nSTOP\n"));
    EXPECT_TRUE(stopsOn("StOp\r\n"));
    EXPECT_FALSE(stopsOn("stop \n"));
    EXPECT_FALSE(stopsOn(" stop\nstopp\n"));
}

TEST(StopReader, EndOfInputEndsIt) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    close(fds[1]);
    bool stopped = false;
    readUntilStop(fds[0], [&] { stopped = true; });
    close(fds[0]);
    EXPECT_TRUE(stopped);
}

// The monitor's start-up on a platform the test controls.
class PointerAgentTest : public ::testing::Test {
protected:
    PointerAgentTest() {
        auto pointer = std::make_unique<testing::ScriptedScreenPointer>();
        pointerView = pointer.get();
        auto buttons = std::make_unique<testing::ScriptedButtonEvents>();
        buttonsView = buttons.get();
        platform.screenPointer = std::move(pointer);
        platform.standardCursors = std::make_unique<platform::linux_x11::XcursorThemeLibrary>("Adwaita", 24);
        platform.renderer = std::make_unique<platform::linux_x11::CairoImageRenderer>();
        platform.accessibility = std::make_unique<testing::FakeAccessibilityService>();
        platform.buttons = std::move(buttons);
        EXPECT_EQ(pipe(commandPipe), 0);
    }
    ~PointerAgentTest() override {
        if (commandPipe[1] >= 0) close(commandPipe[1]);
        close(commandPipe[0]);
    }
    std::future<int> run(std::vector<std::string> arguments) {
        return std::async(std::launch::async, [this, arguments] {
            return runPointerAgent(parseAgentOptions(arguments), platform, sink, commandPipe[0]);
        });
    }
    void send(const std::string& text) { ASSERT_EQ(write(commandPipe[1], text.data(), text.size()), ssize_t(text.size())); }
    bool waitForLines(size_t count) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (sink.outLines().size() < count) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return true;
    }

    platform::PointerPlatform platform;
    testing::ScriptedScreenPointer* pointerView = nullptr;
    testing::ScriptedButtonEvents* buttonsView = nullptr;
    testing::RecordingLineSink sink;
    int commandPipe[2]{-1, -1};
};

TEST_F(PointerAgentTest, ExportRunsAloneEvenWithPollButtons) {
    auto status = run({"--poll-buttons", "--export-images"});
    ASSERT_EQ(status.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_EQ(status.get(), 0);
    const auto lines = sink.outLines();
    ASSERT_EQ(lines.size(), 9u);
    for (const auto& line : lines) EXPECT_EQ(line.rfind("CURSOR_IMAGE:", 0), 0u) << line;
    EXPECT_TRUE(sink.errLines().empty());
}

TEST_F(PointerAgentTest, StatesFromTheFirstTickUntilStop) {
    const auto library = platform::linux_x11::XcursorThemeLibrary("Adwaita", 24);
    auto status = run({});
    ASSERT_TRUE(waitForLines(1));
    EXPECT_EQ(sink.outLines().front(), "STATE:arrow");  // no picture, no accessible element
    pointerView->show(platform::ShownCursor{5, *library.cursor(platform::StandardCursor::iBeam)});
    ASSERT_TRUE(waitForLines(2));
    EXPECT_EQ(sink.outLines()[1], "STATE:text");
    buttonsView->tap({1, 0});
    ASSERT_TRUE(waitForLines(3));
    EXPECT_EQ(sink.outLines()[2], "INTERACTION:mousedown:1");
    send("STOP\n");
    ASSERT_EQ(status.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(status.get(), 0);
}

TEST_F(PointerAgentTest, MissingTapWarnsOnceAndStatesGoOn) {
    buttonsView->tapAvailable = false;
    auto status = run({});
    ASSERT_TRUE(waitForLines(1));
    EXPECT_EQ(sink.errLines(), (Lines{"Mouse interaction event tap unavailable; click telemetry disabled"}));
    close(commandPipe[1]);
    commandPipe[1] = -1;
    ASSERT_EQ(status.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    EXPECT_EQ(status.get(), 0);
}

TEST_F(PointerAgentTest, PollModeNeverTapsNorWarns) {
    buttonsView->tapAvailable = false;
    auto status = run({"--poll-buttons"});
    ASSERT_TRUE(waitForLines(1));
    buttonsView->set(3, 1);
    ASSERT_TRUE(waitForLines(2));
    EXPECT_EQ(sink.outLines()[1], "INTERACTION:mousedown:2");
    EXPECT_FALSE(buttonsView->tap);
    EXPECT_TRUE(sink.errLines().empty());
    send("stop\n");
    ASSERT_EQ(status.wait_for(std::chrono::seconds(5)), std::future_status::ready);
}

}  // namespace
}  // namespace pointer
