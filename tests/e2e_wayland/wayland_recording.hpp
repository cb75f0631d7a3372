#pragma once

#include "tests/e2e_recorder/recorder_run.hpp"
#include "tests/support/desktop/wayland_desktop.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

namespace e2ewayland {

using e2e_recorder::Clock;
using e2e_recorder::RecorderRun;
using namespace std::chrono_literals;

// The size of the test desktop's one output: small enough that the compositor, the animator and the
// recorder share a busy two-core machine without starving each other.
inline constexpr int kScreenWidth = 1280, kScreenHeight = 720;

// Each test gets a private Wayland desktop (the screencast portal answers through its real frontend)
// and a directory for its files that the desktop's user may write to.
class WaylandRecordingTest : public ::testing::Test {
protected:
    void TearDown() override;

    // Starts the desktop; every test calls it first, with what it needs.
    testsupport::WaylandDesktop& startDesktop(const testsupport::WaylandDesktopOptions& options = {});
    // A full-screen animator repainting every frame ("moving") or only on demand (--still);
    // `arguments` such as {"--window", "640x360"} go to the animator.
    void showMovingPicture(const std::vector<std::string>& arguments = {});
    void showStillPicture();
    // Paints the still picture's next colour and waits until it is on screen; returns that colour.
    std::optional<uint32_t> paintNextStill();

    // A recorder-agent run as the desktop's user in the session's environment.
    std::unique_ptr<RecorderRun> startRecorder(const std::string& request);
    std::string outputPath(const std::string& name);

    std::unique_ptr<testsupport::WaylandDesktop> desktop_;
    std::unique_ptr<testsupport::ChildProcess> animator_;
    std::filesystem::path directory_;
};

// "Recording stopped. Output path: " and `path`.
std::string stoppedLine(const std::string& path);

// Sends "stop"; expects the stopped line and status 0. Returns what the recorder said.
e2e_recorder::AgentOutcome stopCleanly(RecorderRun& run, const std::string& output);

// The number of times `text` occurs in `haystack`.
size_t occurrences(const std::string& haystack, const std::string& text);

}  // namespace e2ewayland
