// The storage under a running recording fails: the disk fills, the file size limit is reached,
// the output directory is removed or made read-only. The recording must end with a clear error on
// "stop", and what was written before the fault must stay readable.

#include "tests/e2e_faults/recording_under_fault.hpp"
#include "tests/support/desktop/readiness.hpp"

#include <sys/statvfs.h>

#include <fstream>
#include <thread>

namespace testsupport::faults {
namespace {

using namespace std::chrono_literals;

// Room left for the recording on a full disk, and the file size limit: several fragments of the
// test's moving picture, which compresses to roughly 10 kB a second (a few seconds of video).
constexpr uintmax_t kRoomForRecording = 64 * 1024;
// Far more than half a second of the moving picture.
constexpr uintmax_t kLargestFragment = 32 * 1024;
// Six times the longest fragment: long enough that a busy machine does not pass for a fault.
constexpr auto kQuietAfterFault = 3s;
// How long a recording may take to fill that room on a slow machine.
constexpr auto kFillTimeout = 60s;

std::string fileContents(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

void writeFile(const std::filesystem::path& path, const std::string& contents) {
    std::ofstream file(path, std::ios::binary);
    file << contents;
    ASSERT_TRUE(file.flush()) << "cannot write " << path;
}

uintmax_t availableBytes(const std::filesystem::path& path) {
    struct statvfs status {};
    if (::statvfs(path.c_str(), &status) != 0) return 0;
    return static_cast<uintmax_t>(status.f_bavail) * status.f_frsize;
}

// True once the file at `path` has kept its size for `quiet`.
bool fileStopsGrowing(const std::filesystem::path& path, std::chrono::milliseconds quiet,
                      std::chrono::milliseconds timeout) {
    uintmax_t lastSize = 0;
    auto lastChange = Clock::now();
    return pollUntil(
        [&] {
            std::error_code missing;
            const uintmax_t size = std::filesystem::file_size(path, missing);
            if (missing || size != lastSize) {
                lastSize = missing ? 0 : size;
                lastChange = Clock::now();
            }
            return lastSize > 0 && Clock::now() - lastChange >= quiet;
        },
        timeout);
}

// What a recording cut short by a storage fault must still offer: the fragments written before
// the fault decode, and they hold video.
void expectReadableUpToTheFault(const std::string& output) {
    expectDecodesCleanly(output);
    const auto videoEnd = streamEndSeconds(output, "v:0");
    ASSERT_TRUE(videoEnd.has_value()) << "no video left in " << output;
    EXPECT_GT(*videoEnd, 0.5);
}

class StorageFault : public RecordingUnderFault {
protected:
    void TearDown() override {
        // Undo what the test did to the file system before its directory is removed.
        if (!immutable_.empty()) runTool({"chattr", "-R", "-i", immutable_.string()});
        if (!mountPoint_.empty()) runTool({"umount", "-l", mountPoint_.string()});
        RecordingUnderFault::TearDown();
    }

    // A file system of `bytes` bytes at `directory`, unmounted after the test.
    void mountSmallFileSystem(const std::filesystem::path& directory, uintmax_t bytes) {
        std::filesystem::create_directories(directory);
        const auto mounted =
            runTool({"mount", "-t", "tmpfs", "-o", "size=" + std::to_string(bytes), "tmpfs", directory.string()});
        ASSERT_EQ(mounted.status, 0) << "cannot mount a tmpfs at " << directory << ": " << mounted.errors;
        mountPoint_ = directory;
    }

    void makeImmutable(const std::filesystem::path& directory) {
        immutable_ = directory;
        const auto changed = runTool({"chattr", "-R", "+i", directory.string()});
        ASSERT_EQ(changed.status, 0) << changed.errors;
    }

    std::filesystem::path mountPoint_, immutable_;
};

TEST_F(StorageFault, AFullDiskEndsTheRecordingWithAnErrorAndKeepsWhatWasWritten) {
    startDesktop();
    showMovingPicture();
    const auto disk = path("small-disk");
    ASSERT_NO_FATAL_FAILURE(mountSmallFileSystem(disk, 1024 * 1024));
    // Another file on the same disk takes all but the recording's room.
    const std::string otherData(availableBytes(disk) - kRoomForRecording, 'x');
    ASSERT_NO_FATAL_FAILURE(writeFile(disk / "other-data", otherData));

    const auto output = (disk / "out.mp4").string();
    auto recorder = startRecorder(displayRequest(output));
    waitUntilRecording(*recorder);
    // Moving content makes a fragment at least every half second: a file that stops growing for
    // much longer than that has met the full disk.
    ASSERT_TRUE(fileStopsGrowing(output, kQuietAfterFault, kFillTimeout)) << "the recording kept growing";
    // The unfinished fragment was cut off again: the room is used up to less than a fragment.
    EXPECT_LT(availableBytes(disk), kLargestFragment);
    std::this_thread::sleep_for(kRecordAfterFault);
    EXPECT_FALSE(recorder->waitForExit(0ms).has_value()) << "the recorder must wait for \"stop\"";

    const auto outcome = stopAndWait(*recorder);
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.out, "Recording started\n");
    EXPECT_EQ(outcome.err, "Error stopping capture: cannot write " + output + ": No space left on device\n");
    expectReadableUpToTheFault(output);
    EXPECT_TRUE(fileContents(disk / "other-data") == otherData) << "the other file on the disk was changed";
}

TEST_F(StorageFault, TheFileSizeLimitEndsTheRecordingWithAnErrorAndKeepsWhatWasWritten) {
    startDesktop();
    showMovingPicture();
    const auto output = path("limited.mp4").string();
    auto recorder = startRecorder(displayRequest(output),
                                  {"prlimit", "--fsize=" + std::to_string(kRoomForRecording), "--"});
    waitUntilRecording(*recorder);
    // Moving content makes a fragment at least every half second: a file that stops growing for
    // much longer than that has met the limit.
    ASSERT_TRUE(fileStopsGrowing(output, kQuietAfterFault, kFillTimeout)) << "the recording kept growing";
    std::this_thread::sleep_for(kRecordAfterFault);
    EXPECT_FALSE(recorder->waitForExit(0ms).has_value()) << "the limit must not end the process";

    const auto outcome = stopAndWait(*recorder);
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.out, "Recording started\n");
    EXPECT_EQ(outcome.err, "Error stopping capture: cannot write " + output + ": File too large\n");
    // Cut back to its last whole fragment: a few kilobytes below the limit, never above it.
    EXPECT_LE(std::filesystem::file_size(output), kRoomForRecording);
    EXPECT_GT(std::filesystem::file_size(output), kRoomForRecording - kLargestFragment);
    expectReadableUpToTheFault(output);
}

TEST_F(StorageFault, RemovingTheOutputDirectoryIsReportedOnStop) {
    startDesktop();
    showMovingPicture();
    const auto folder = path("recordings");
    std::filesystem::create_directories(folder);
    ASSERT_NO_FATAL_FAILURE(writeFile(path("beside.txt"), "not part of the recording"));
    const auto output = (folder / "out.mp4").string();
    auto recorder = startRecorder(displayRequest(output));
    waitUntilRecording(*recorder);
    std::this_thread::sleep_for(kRecordBeforeFault);

    std::filesystem::remove_all(folder);
    std::this_thread::sleep_for(kRecordAfterFault);
    EXPECT_FALSE(recorder->waitForExit(0ms).has_value());

    const auto outcome = stopAndWait(*recorder);
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.out, "Recording started\n");
    EXPECT_EQ(outcome.err,
              "Error stopping capture: cannot finish " + output + ": the file was removed while it was being written\n");
    EXPECT_FALSE(std::filesystem::exists(folder)) << "the recorder must not bring back what was removed";
    EXPECT_EQ(fileContents(path("beside.txt")), "not part of the recording");
}

TEST_F(StorageFault, AReadOnlyOutputDirectoryIsReportedOnStopAndKeepsWhatWasWritten) {
    startDesktop();
    showMovingPicture();
    const auto folder = path("recordings");
    std::filesystem::create_directories(folder);
    ASSERT_NO_FATAL_FAILURE(writeFile(folder / "earlier.txt", "an earlier file"));
    const auto output = (folder / "out.mp4").string();
    auto recorder = startRecorder(displayRequest(output));
    waitUntilRecording(*recorder);
    std::this_thread::sleep_for(kRecordBeforeFault);

    // Immutable: neither the directory nor any file in it, the open recording included, takes a write.
    ASSERT_NO_FATAL_FAILURE(makeImmutable(folder));
    std::this_thread::sleep_for(kRecordAfterFault);
    EXPECT_FALSE(recorder->waitForExit(0ms).has_value());

    const auto outcome = stopAndWait(*recorder);
    EXPECT_EQ(outcome.status, 1);
    EXPECT_EQ(outcome.out, "Recording started\n");
    EXPECT_EQ(outcome.err, "Error stopping capture: cannot write " + output + ": Operation not permitted\n");
    expectReadableUpToTheFault(output);
    EXPECT_EQ(fileContents(folder / "earlier.txt"), "an earlier file");
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder), std::filesystem::directory_iterator()), 2)
        << "nothing but the recording and the earlier file";
}

}  // namespace
}  // namespace testsupport::faults
