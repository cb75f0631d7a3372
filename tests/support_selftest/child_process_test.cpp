#include "tests/support/desktop/test_desktop.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <thread>

#include <unistd.h>

namespace testsupport {
namespace {

using namespace std::chrono_literals;

std::unique_ptr<ChildProcess> shell(const std::string& command, const std::map<std::string, std::string>& extra = {}) {
    return ChildProcess::spawn({"/bin/sh", "-c", command}, extra);
}

bool processExists(int pid) {
    // A zombie still "exists" for kill(); only a process that is gone or reaped counts as gone.
    return ::kill(pid, 0) == 0;
}

TEST(ChildProcess, ReportsExitStatusAndBothOutputsCompletely) {
    auto child = shell("printf 'one\\ntwo\\nlast-without-newline'; printf 'oops\\n' >&2; exit 3");
    EXPECT_EQ(child->waitForExit(10s), 3);
    EXPECT_EQ(child->stdoutSoFar(), "one\ntwo\nlast-without-newline");
    EXPECT_EQ(child->stderrSoFar(), "oops\n");
    EXPECT_EQ(child->readStdoutLine(1s), "one");
    EXPECT_EQ(child->readStdoutLine(1s), "two");
    EXPECT_EQ(child->readStdoutLine(1s), "last-without-newline");
    EXPECT_EQ(child->readStdoutLine(100ms), std::nullopt);
}

TEST(ChildProcess, DeathBySignalIs128PlusSignal) {
    auto child = shell("exec sleep 30");
    EXPECT_EQ(child->waitForExit(50ms), std::nullopt);
    child->sendSignal(SIGTERM);
    EXPECT_EQ(child->waitForExit(10s), 128 + SIGTERM);
}

TEST(ChildProcess, StandardInputReachesTheChildAndClosingItEndsInput) {
    auto child = ChildProcess::spawn({"cat"});
    child->writeStdin("hello\n");
    EXPECT_EQ(child->readStdoutLine(10s), "hello");
    EXPECT_FALSE(child->readStdoutLine(50ms).has_value()) << "no line was written yet";
    child->writeStdin("wor");
    child->writeStdin("ld\n");
    EXPECT_EQ(child->readStdoutLine(10s), "world");
    child->closeStdin();
    EXPECT_EQ(child->waitForExit(10s), 0);
}

TEST(ChildProcess, WritingToAChildThatHasGoneThrowsInsteadOfKillingUs) {
    auto child = shell("exec true");
    ASSERT_EQ(child->waitForExit(10s), 0);
    EXPECT_THROW(child->writeStdin(std::string(1 << 20, 'x')), std::runtime_error);
}

TEST(ChildProcess, WaitsForOneLineAmongOthers) {
    auto child = shell("echo starting; echo READY 42; echo after");
    EXPECT_TRUE(child->waitForStdoutLine("READY 42", 10s));
    EXPECT_EQ(child->readStdoutLine(10s), "after");
    EXPECT_FALSE(child->waitForStdoutLine("never", 2s)) << "end of output ends the wait";
}

TEST(ChildProcess, EnvironmentIsOursPlusExtrasOrExactlyWhatIsGiven) {
    ::setenv("CHILD_PROCESS_TEST_INHERITED", "inherited", 1);
    auto added = shell("echo \"$CHILD_PROCESS_TEST_INHERITED $EXTRA\"", {{"EXTRA", "extra"}});
    EXPECT_EQ(added->readStdoutLine(10s), "inherited extra");

    auto exact = ChildProcess::spawnWithExactEnvironment(
        {"/bin/sh", "-c", "echo \"[$CHILD_PROCESS_TEST_INHERITED][$ONLY]\""}, {{"ONLY", "only"}});
    EXPECT_EQ(exact->readStdoutLine(10s), "[][only]");
    ::unsetenv("CHILD_PROCESS_TEST_INHERITED");
}

TEST(ChildProcess, RunsInTheGivenWorkingDirectory) {
    auto child = ChildProcess::spawn({"pwd"}, {}, "/usr/share");
    EXPECT_EQ(child->readStdoutLine(10s), "/usr/share");
}

TEST(ChildProcess, AProgramThatCannotRunIsAnErrorThatNamesIt) {
    try {
        ChildProcess::spawn({"no-such-program-anywhere"});
        FAIL() << "expected an exception";
    } catch (const std::runtime_error& error) {
        EXPECT_NE(std::string(error.what()).find("no-such-program-anywhere"), std::string::npos) << error.what();
    }
    try {
        ChildProcess::spawn({"/bin/true"}, {}, "/no/such/directory");
        FAIL() << "expected an exception";
    } catch (const std::runtime_error& error) {
        EXPECT_NE(std::string(error.what()).find("/no/such/directory"), std::string::npos) << error.what();
    }
}

TEST(ChildProcess, DestructorStopsTheChildAndWhatItStarted) {
    // The grandchild writes its pid and keeps running in the background.
    auto child = shell("sleep 300 & echo $!; exec sleep 300");
    auto grandchild = child->readStdoutLine(10s);
    ASSERT_TRUE(grandchild.has_value());
    int childPid = child->pid();
    int grandchildPid = std::stoi(*grandchild);
    ASSERT_TRUE(processExists(grandchildPid));
    child.reset();
    EXPECT_FALSE(processExists(childPid));
    // The grandchild is reparented; its new parent reaps it soon after it was killed.
    bool gone = false;
    for (auto deadline = std::chrono::steady_clock::now() + 10s; !gone && std::chrono::steady_clock::now() < deadline;)
        if (!(gone = !processExists(grandchildPid))) std::this_thread::sleep_for(10ms);
    if (!gone) {
        // A reaper that never reaps would leave a zombie: that still counts as killed.
        std::ifstream stat("/proc/" + std::to_string(grandchildPid) + "/stat");
        std::string pid, name, state;
        stat >> pid >> name >> state;
        EXPECT_EQ(state, "Z") << "the grandchild still runs";
    }
}

TEST(ChildProcess, DestructorKillsAChildThatIgnoresSigterm) {
    auto child = shell("trap '' TERM; echo armed; while :; do sleep 1; done");
    ASSERT_EQ(child->readStdoutLine(10s), "armed");
    int pid = child->pid();
    auto before = std::chrono::steady_clock::now();
    child.reset();
    EXPECT_FALSE(processExists(pid));
    EXPECT_LT(std::chrono::steady_clock::now() - before, 10s);
}

}  // namespace
}  // namespace testsupport
