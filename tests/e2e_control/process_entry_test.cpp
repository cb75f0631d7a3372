#include "tests/support/desktop/test_desktop.hpp"
#include "tests/support/desktop/test_programs.hpp"

#include <gtest/gtest.h>

#include <filesystem>

namespace testsupport {
namespace {

DesktopOptions desktopOptions(bool windowManager, bool pulseAudio) {
    DesktopOptions options;
    options.windowManager = windowManager;
    options.pulseAudio = pulseAudio;
    return options;
}

using namespace std::chrono_literals;

// A request that would record the main display into a temporary directory.
std::string displayRequest(const std::string& outputPath) {
    return R"({"outputPath":")" + outputPath + R"("})";
}

// The environment of this process without DISPLAY, so that no X display can be found.
std::map<std::string, std::string> environmentWithoutDisplay() {
    std::map<std::string, std::string> environment;
    for (const char* name : {"PATH", "HOME", "LANG", "TMPDIR"})
        if (const char* value = std::getenv(name)) environment[name] = value;
    return environment;
}

struct Outcome {
    std::optional<int> status;
    std::string out, err;
};

Outcome runToEnd(std::unique_ptr<ChildProcess> agent) {
    agent->closeStdin();
    Outcome outcome;
    outcome.status = agent->waitForExit(30s);
    outcome.out = agent->stdoutSoFar();
    outcome.err = agent->stderrSoFar();
    return outcome;
}

class RecorderAgentEntry : public ::testing::Test {
protected:
    void SetUp() override {
        directory_ = std::filesystem::temp_directory_path() /
                     ("e2e-control-" + std::to_string(::getpid()) + "-" +
                      ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(directory_);
    }
    void TearDown() override { std::filesystem::remove_all(directory_); }

    std::unique_ptr<ChildProcess> spawnAgent(const std::vector<std::string>& arguments,
                                             const std::map<std::string, std::string>& environment) {
        std::vector<std::string> argv{testProgramPath("recorder-agent")};
        argv.insert(argv.end(), arguments.begin(), arguments.end());
        return ChildProcess::spawnWithExactEnvironment(argv, environment, directory_.string());
    }
    bool directoryIsEmpty() const { return std::filesystem::is_empty(directory_); }

    std::filesystem::path directory_;
};

TEST_F(RecorderAgentEntry, WithoutAnArgumentItSaysSoAndFails) {
    // No display either: the argument is checked before any permission.
    auto outcome = runToEnd(spawnAgent({}, environmentWithoutDisplay()));
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.err, "Missing config JSON\n");
    EXPECT_EQ(outcome.out, "");
    EXPECT_TRUE(directoryIsEmpty());
}

TEST_F(RecorderAgentEntry, WithoutAnArgumentItFailsTheSameOnAWorkingDesktop) {
    auto desktop = TestDesktop::start(desktopOptions(/*windowManager=*/false, /*pulseAudio=*/true));
    auto environment = environmentWithoutDisplay();
    for (const auto& [name, value] : desktop->environment()) environment[name] = value;
    auto outcome = runToEnd(spawnAgent({}, environment));
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.err, "Missing config JSON\n");
    EXPECT_EQ(outcome.out, "");
}

TEST_F(RecorderAgentEntry, WithoutDisplayScreenRecordingIsDenied) {
    auto request = displayRequest((directory_ / "out.mp4").string());
    auto outcome = runToEnd(spawnAgent({request}, environmentWithoutDisplay()));
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.err, "SCREEN_RECORDING_PERMISSION_DENIED\n");
    EXPECT_EQ(outcome.out, "");
    EXPECT_TRUE(directoryIsEmpty()) << "nothing may be written when permission is denied";
}

TEST_F(RecorderAgentEntry, ADisplayThatDoesNotExistDeniesScreenRecording) {
    auto environment = environmentWithoutDisplay();
    // Display numbers this high are never handed out by Xvfb -displayfd on a test machine.
    environment["DISPLAY"] = ":987";
    auto request = displayRequest((directory_ / "out.mp4").string());
    auto outcome = runToEnd(spawnAgent({request}, environment));
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.err, "SCREEN_RECORDING_PERMISSION_DENIED\n");
    EXPECT_EQ(outcome.out, "");
    EXPECT_TRUE(directoryIsEmpty());
}

TEST_F(RecorderAgentEntry, ADisplayThatWentAwayDeniesScreenRecording) {
    auto desktop = TestDesktop::start(desktopOptions(/*windowManager=*/false, /*pulseAudio=*/false));
    auto environment = environmentWithoutDisplay();
    environment["DISPLAY"] = desktop->display();
    desktop->killXServer();
    auto request = displayRequest((directory_ / "out.mp4").string());
    auto outcome = runToEnd(spawnAgent({request}, environment));
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.err, "SCREEN_RECORDING_PERMISSION_DENIED\n");
    EXPECT_EQ(outcome.out, "");
}

TEST_F(RecorderAgentEntry, ScreenPermissionIsCheckedBeforeTheMicrophone) {
    // No display and no sound server: the screen is refused first, and only that is said.
    auto request = R"({"capturesMicrophone":true,"outputPath":")" + (directory_ / "out.mp4").string() + R"("})";
    auto outcome = runToEnd(spawnAgent({request}, environmentWithoutDisplay()));
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.err, "SCREEN_RECORDING_PERMISSION_DENIED\n");
}

TEST_F(RecorderAgentEntry, FurtherArgumentsDoNotChangeTheGate) {
    auto request = displayRequest((directory_ / "out.mp4").string());
    auto outcome = runToEnd(spawnAgent({request, "extra", "--ignored"}, environmentWithoutDisplay()));
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.err, "SCREEN_RECORDING_PERMISSION_DENIED\n");
}

}  // namespace
}  // namespace testsupport
