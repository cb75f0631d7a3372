#include "tests/e2e_wayland/wayland_recording.hpp"

#include "tests/support/desktop/test_programs.hpp"

#include <cstdlib>
#include <iostream>

namespace e2ewayland {

void WaylandRecordingTest::TearDown() {
    if (HasFailure() && desktop_) std::cerr << "the desktop's logs:\n" << desktop_->logs();
    // The picture before the desktop it is shown on; the desktop removes its files unless kept.
    animator_.reset();
    desktop_.reset();
}

testsupport::WaylandDesktop& WaylandRecordingTest::startDesktop(const testsupport::WaylandDesktopOptions& options) {
    desktop_ = testsupport::WaylandDesktop::start(options);
    directory_ = desktop_->makeDirectory(::testing::UnitTest::GetInstance()->current_test_info()->name());
    if (std::getenv("E2E_KEEP_FILES")) std::cerr << "files of this test: " << directory_ << '\n';
    return *desktop_;
}

void WaylandRecordingTest::showMovingPicture(const std::vector<std::string>& arguments) {
    std::vector<std::string> argv{desktop_->reachableCopy(testsupport::testProgramPath("wayland-animator"))};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    animator_ = desktop_->spawn(argv);
    ASSERT_TRUE(animator_->waitForStdoutLine("READY", e2e_recorder::lineTimeout)) << animator_->stderrSoFar();
}

void WaylandRecordingTest::showStillPicture() {
    animator_ = desktop_->spawn({desktop_->reachableCopy(testsupport::testProgramPath("wayland-animator")), "--still"});
    ASSERT_TRUE(animator_->waitForStdoutLine("READY", e2e_recorder::lineTimeout)) << animator_->stderrSoFar();
}

std::optional<uint32_t> WaylandRecordingTest::paintNextStill() {
    animator_->writeStdin("next\n");
    auto line = animator_->readStdoutLine(e2e_recorder::lineTimeout);
    if (!line || line->rfind("PAINTED ", 0) != 0) return std::nullopt;
    return static_cast<uint32_t>(std::stoul(line->substr(8), nullptr, 16));
}

std::unique_ptr<RecorderRun> WaylandRecordingTest::startRecorder(const std::string& request) {
    const auto agent = desktop_->reachableCopy(testsupport::testProgramPath("recorder-agent"));
    return std::make_unique<RecorderRun>(desktop_->spawn({agent, request}, {}, directory_.string()));
}

std::string WaylandRecordingTest::outputPath(const std::string& name) { return (directory_ / name).string(); }

std::string stoppedLine(const std::string& path) { return "Recording stopped. Output path: " + path; }

e2e_recorder::AgentOutcome stopCleanly(RecorderRun& run, const std::string& output) {
    run.stop();
    EXPECT_EQ(run.nextLine(), stoppedLine(output));
    auto outcome = run.finish();
    EXPECT_EQ(outcome.status, 0) << outcome.err;
    return outcome;
}

size_t occurrences(const std::string& haystack, const std::string& text) {
    size_t count = 0;
    for (auto at = haystack.find(text); at != std::string::npos; at = haystack.find(text, at + text.size())) ++count;
    return count;
}

}  // namespace e2ewayland
