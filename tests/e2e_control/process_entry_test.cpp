#include "tests/support/desktop/test_desktop.hpp"
#include "tests/support/desktop/test_programs.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

namespace testsupport {
namespace {

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
    auto desktop = TestDesktop::start({.windowManager = false, .pulseAudio = true});
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
    auto desktop = TestDesktop::start({.windowManager = false, .pulseAudio = false});
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

// The options that only inform answer before anything else: without a display, without input,
// and they write no file.
TEST_F(RecorderAgentEntry, HelpAndVersionAnswerWithoutADesktop) {
    for (const std::string program : {"recorder-agent", "pointer-agent"}) {
        std::vector<std::string> argv{testProgramPath(program), "--help"};
        auto help = runToEnd(ChildProcess::spawnWithExactEnvironment(argv, environmentWithoutDisplay(),
                                                                     directory_.string()));
        EXPECT_EQ(help.status, 0) << program;
        EXPECT_EQ(help.out.rfind("Usage: " + program + " ", 0), 0u) << program << " printed: " << help.out;
        EXPECT_NE(help.out.find("--version"), std::string::npos) << program;
        // On Wayland the desktop asks the user; each program says how to keep the answer.
        const std::string keepsTheChoice = program == "recorder-agent" ? "\"restoreTokenPath\"" : "--restore-token-path FILE";
        EXPECT_NE(help.out.find(keepsTheChoice), std::string::npos) << program << " printed: " << help.out;
        EXPECT_EQ(help.err, "") << program;

        argv.back() = "--version";
        auto version = runToEnd(ChildProcess::spawnWithExactEnvironment(argv, environmentWithoutDisplay(),
                                                                        directory_.string()));
        EXPECT_EQ(version.status, 0) << program;
        EXPECT_EQ(version.out, program + " " + AGENTS_VERSION + "\n");
        EXPECT_EQ(version.err, "") << program;
    }
    // pointer-agent takes its options anywhere; for recorder-agent the first argument is the request.
    auto pointer = runToEnd(ChildProcess::spawnWithExactEnvironment(
        {testProgramPath("pointer-agent"), "--poll-buttons", "--version"}, environmentWithoutDisplay()));
    EXPECT_EQ(pointer.out, std::string("pointer-agent ") + AGENTS_VERSION + "\n");
    auto recorder = runToEnd(spawnAgent({displayRequest((directory_ / "out.mp4").string()), "--version"},
                                        environmentWithoutDisplay()));
    EXPECT_EQ(recorder.status, 1);
    EXPECT_EQ(recorder.err, "SCREEN_RECORDING_PERMISSION_DENIED\n");
    EXPECT_TRUE(directoryIsEmpty());
}

TEST_F(RecorderAgentEntry, ListingSourcesWithoutDisplayIsDenied) {
    auto outcome = runToEnd(spawnAgent({"--list-sources"}, environmentWithoutDisplay()));
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.err, "SCREEN_RECORDING_PERMISSION_DENIED\n");
    EXPECT_EQ(outcome.out, "");
}

// A desktop with a display and, unless asked for, no sound server. The environment points PulseAudio
// clients at a socket that does not exist, which also keeps them from spawning a server of their own.
class RecorderAgentGate : public RecorderAgentEntry {
protected:
    std::map<std::string, std::string> desktopEnvironment(bool withPulseAudio) {
        desktop_ = TestDesktop::start({.windowManager = false, .pulseAudio = withPulseAudio});
        auto environment = environmentWithoutDisplay();
        environment["XDG_RUNTIME_DIR"] = directory_.string();
        environment["PULSE_SERVER"] = "unix:" + (directory_ / "no-such-server").string();
        for (const auto& [name, value] : desktop_->environment()) environment[name] = value;
        return environment;
    }
    std::string outputPath() const { return (directory_ / "out.mp4").string(); }

    std::unique_ptr<TestDesktop> desktop_;
};

TEST_F(RecorderAgentGate, MicrophoneIsDeniedWhenNoSoundServerAnswers) {
    auto environment = desktopEnvironment(/*withPulseAudio=*/false);
    auto request = R"({"capturesMicrophone":true,"outputPath":")" + outputPath() + R"("})";
    auto outcome = runToEnd(spawnAgent({request}, environment));
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.err, "MICROPHONE_PERMISSION_DENIED\n");
    EXPECT_EQ(outcome.out, "");
    EXPECT_FALSE(std::filesystem::exists(outputPath()));
}

// The start fails on a window that does not exist, after the gate, so the line printed tells which
// gate was passed without depending on a recording being made.
TEST_F(RecorderAgentGate, WithoutTheMicrophoneItsPermissionIsNeverAsked) {
    auto environment = desktopEnvironment(/*withPulseAudio=*/false);
    for (std::string microphone : {"", R"("capturesMicrophone":false,)"}) {
        auto request = "{" + microphone + R"("windowId":1,"outputPath":")" + outputPath() + R"("})";
        auto outcome = runToEnd(spawnAgent({request}, environment));
        EXPECT_EQ(outcome.status, 1) << request;
        EXPECT_EQ(outcome.err, "Error starting capture: Window not found\n") << request;
        EXPECT_EQ(outcome.out, "") << request;
    }
}

TEST_F(RecorderAgentGate, MicrophoneIsAuthorisedWhenTheSoundServerAnswers) {
    auto environment = desktopEnvironment(/*withPulseAudio=*/true);
    auto request = R"({"capturesMicrophone":true,"windowId":1,"outputPath":")" + outputPath() + R"("})";
    auto outcome = runToEnd(spawnAgent({request}, environment));
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.err, "Error starting capture: Window not found\n");
    EXPECT_EQ(outcome.out, "");
}

TEST_F(RecorderAgentGate, AnUndecodableRequestPassesTheGateAndFailsAtStart) {
    auto environment = desktopEnvironment(/*withPulseAudio=*/false);
    // Not JSON at all; a microphone flag of the wrong type (so the microphone step is skipped, even
    // though no sound server answers); an array instead of an object.
    for (std::string request : {std::string("not json"), std::string(R"({"capturesMicrophone":"yes"})"),
                                std::string("[]")}) {
        auto outcome = runToEnd(spawnAgent({request}, environment));
        EXPECT_EQ(outcome.status, 1) << request;
        EXPECT_EQ(outcome.err.rfind("Error starting capture: ", 0), 0u) << request << " printed: " << outcome.err;
        EXPECT_EQ(outcome.err.find("PERMISSION"), std::string::npos) << request << " printed: " << outcome.err;
        EXPECT_EQ(outcome.err.back(), '\n') << request;
        EXPECT_EQ(std::count(outcome.err.begin(), outcome.err.end(), '\n'), 1) << request << " printed: " << outcome.err;
        EXPECT_EQ(outcome.out, "") << request;
    }
}

}  // namespace
}  // namespace testsupport
