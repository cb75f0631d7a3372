#pragma once

#include "tests/e2e_recorder/recorder_run.hpp"
#include "tests/e2e_recorder/video_checks.hpp"
#include "tests/support/desktop/media_probe.hpp"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <thread>

namespace e2e_recorder {

// One frame at the recorder's nominal rate.
inline constexpr double frameSeconds = 1.0 / 60;

// How much shorter than observed a recording may be: the last frame comes up to a frame interval
// before the stop, or, when the shared machine starved the capture, up to the longest gap between
// frames that the file shows. A tail lost at the stop is not such a gap and is still caught.
inline double shortfallAllowance(const std::vector<double>& frameTimes) {
    return std::max(frameSeconds, longestGap(frameTimes));
}

// Each test gets a private desktop and a private directory for its files.
class RecordingTest : public ::testing::Test {
protected:
    void SetUp() override {
        directory_ = std::filesystem::temp_directory_path() /
                     ("e2e-recorder-" + std::to_string(::getpid()) + "-" +
                      ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(directory_);
        std::filesystem::create_directories(directory_);
    }
    void TearDown() override {
        // Clients before the desktop they draw on.
        clients_.clear();
        desktop_.reset();
        if (!std::getenv("E2E_KEEP_FILES")) std::filesystem::remove_all(directory_);
    }

    testsupport::TestDesktop& startDesktop(const testsupport::DesktopOptions& options = {}) {
        desktop_ = testsupport::TestDesktop::start(options);
        return *desktop_;
    }
    // A client program kept running until the test ends.
    DesktopClient& addClient(const std::string& program, const std::vector<std::string>& arguments) {
        clients_.push_back(startClient(*desktop_, program, arguments));
        return clients_.back();
    }
    // A 1280x720 picture that changes every 1/60 s.
    DesktopClient& addMovingPicture() {
        return addClient("moving-picture", {"--width", "1280", "--height", "720", "--x", "100", "--y", "100"});
    }
    std::string outputPath(const std::string& name) const { return (directory_ / name).string(); }

    // Lets a recording run; the length of a recording is what is being measured, not a readiness wait.
    static void record(std::chrono::milliseconds length) { std::this_thread::sleep_for(length); }

    std::filesystem::path directory_;
    std::unique_ptr<testsupport::TestDesktop> desktop_;
    // A deque: tests hold references to earlier clients while adding more.
    std::deque<DesktopClient> clients_;
};

}  // namespace e2e_recorder
