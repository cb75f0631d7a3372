#include "tests/e2e_recorder/recording_fixture.hpp"
#include "tests/e2e_recorder/video_checks.hpp"
#include "tests/support/desktop/media_probe.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <ctime>
#include <fstream>
#include <regex>
#include <sstream>

namespace e2e_recorder {
namespace {

std::string fileContent(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream content;
    content << file.rdbuf();
    return content.str();
}

class RecordingErrors : public RecordingTest {
protected:
    // Starts a recording that must fail: no output line, one standard error line, status 1.
    AgentOutcome runFailingStart(const std::string& request) {
        RecorderRun run(*desktop_, request, directory_);
        auto outcome = run.finish();
        EXPECT_EQ(outcome.status, 1);
        EXPECT_EQ(outcome.out, "");
        return outcome;
    }

    // A directory this process cannot create files in. Permission bits do not stop root, so as root
    // this is sysfs, which refuses new files to everyone. Each candidate is tried for real.
    std::optional<std::filesystem::path> unwritableDirectory() {
        auto locked = directory_ / "locked";
        std::filesystem::create_directory(locked);
        ::chmod(locked.c_str(), 0555);
        for (const auto& candidate : {locked, std::filesystem::path("/sys")}) {
            const auto probe = candidate / ("probe-" + std::to_string(::getpid()));
            const int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
            if (fd < 0 && errno == EACCES) return candidate;
            if (fd >= 0) {
                ::close(fd);
                ::unlink(probe.c_str());
            }
        }
        return std::nullopt;
    }
};

TEST_F(RecordingErrors, AnUnwritableDirectoryFailsTheStartWithTheSystemsReason) {
    startDesktop({.windowManager = false});
    auto directory = unwritableDirectory();
    if (!directory) GTEST_SKIP() << "no directory here refuses new files to this user";
    const auto output = (*directory / ("e2e-recorder-" + std::to_string(::getpid()) + ".mp4")).string();
    auto outcome = runFailingStart(displayRequest(output));
    EXPECT_EQ(outcome.err, "Error starting capture: cannot create " + output + ": Permission denied\n");
    EXPECT_FALSE(std::filesystem::exists(output));
}

TEST_F(RecordingErrors, AnExistingFileIsNeverOverwritten) {
    startDesktop({.windowManager = false});
    const auto output = outputPath("taken.mp4");
    const std::string precious = "an earlier recording that must survive\n";
    std::ofstream(output, std::ios::binary) << precious;
    auto outcome = runFailingStart(displayRequest(output));
    EXPECT_EQ(outcome.err, "Error starting capture: cannot create " + output + ": File exists\n");
    EXPECT_EQ(fileContent(output), precious);
}

TEST_F(RecordingErrors, AnUnknownDisplayIsNotFound) {
    startDesktop({.windowManager = false});
    const auto output = outputPath("nowhere.mp4");
    // Atoms are numbered from 1 upwards; a fresh server has a few hundred, never this many.
    auto outcome = runFailingStart(displayRequest(output, R"(,"displayId":4000000)"));
    EXPECT_EQ(outcome.err, "Error starting capture: Display not found\n");
}

class OutputNaming : public RecordingTest {
protected:
    // Records half a second of a static desktop and returns what the agent said.
    AgentOutcome recordBriefly(const std::string& request) {
        RecorderRun run(*desktop_, request, directory_);
        EXPECT_TRUE(run.waitUntilStarted()) << run.process().stderrSoFar();
        record(500ms);
        run.stop();
        auto outcome = run.finish();
        EXPECT_EQ(outcome.status, 0) << outcome.err;
        EXPECT_EQ(outcome.err, "");
        return outcome;
    }
};

TEST_F(OutputNaming, AMovPathGivesAQuickTimeMovie) {
    startDesktop({.windowManager = false});
    const auto output = outputPath("clip.mov");
    auto outcome = recordBriefly(displayRequest(output));
    EXPECT_EQ(outcome.out, "Recording started\nRecording stopped. Output path: " + output + "\n");
    auto info = testsupport::probeMedia(output);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->majorBrand, "qt  ");
    ASSERT_NE(info->firstOfType("video"), nullptr);
    EXPECT_EQ(info->firstOfType("video")->codecName, "h264");
    EXPECT_EQ(containerColourCodes(output), (std::array<int, 3>{1, 1, 1})) << "BT.709 in QuickTime's own colour box";
    EXPECT_TRUE(decodesWithoutErrors(output));
}

TEST_F(OutputNaming, WithoutAnOutputPathTheFileIsNamedByTheTimeInTheWorkingDirectory) {
    startDesktop({.windowManager = false});
    const auto before = std::time(nullptr);
    auto outcome = recordBriefly("{}");
    const auto after = std::time(nullptr);

    std::smatch match;
    ASSERT_TRUE(std::regex_match(outcome.out, match,
                                 std::regex("Recording started\nRecording stopped\\. Output path: (.*)\n")))
        << outcome.out;
    const std::filesystem::path path = match[1].str();
    EXPECT_EQ(path.parent_path(), std::filesystem::canonical(directory_));
    std::smatch name;
    const std::string fileName = path.filename().string();
    ASSERT_TRUE(std::regex_match(fileName, name, std::regex("output_(\\d+)\\.mp4"))) << fileName;
    const auto seconds = std::stoll(name[1].str());
    EXPECT_GE(seconds, before);
    EXPECT_LE(seconds, after);
    auto info = testsupport::probeMedia(path.string());
    ASSERT_TRUE(info);
    EXPECT_NE(info->majorBrand, "qt  ") << "an .mp4 path gives an MPEG-4 file, not a QuickTime movie";
    EXPECT_TRUE(decodesWithoutErrors(path.string()));
}

}  // namespace
}  // namespace e2e_recorder
