#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "recorder/platform/linux/ffmpeg/ffmpeg_writer_service.hpp"
#include "recorder/platform/linux/ffmpeg/writer_input.hpp"
#include "tests/ffmpeg_writer/writer_test_support.hpp"

namespace ffmpeg_writer_test {
namespace {

using namespace std::chrono_literals;

class WriterFaultsTest : public ::testing::Test {
protected:
    std::shared_ptr<platform::MediaWriterService> service = recorder::linux_backend::makeFfmpegWriterService();
    ScratchDirectory directory;
};

// Runs `body` in a child process and returns what it wrote to its pipe.
template <class Body>
std::string inChild(Body body, pid_t* childOut = nullptr, bool wait = true) {
    int fds[2];
    if (pipe(fds) != 0) return "pipe failed";
    const pid_t child = fork();
    if (child == 0) {
        close(fds[0]);
        const std::string message = body();
        (void)!write(fds[1], message.data(), message.size());
        _exit(0);
    }
    close(fds[1]);
    if (childOut) *childOut = child;
    std::string result;
    char buffer[512];
    for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;) result.append(buffer, static_cast<size_t>(n));
    close(fds[0]);
    if (wait) waitpid(child, nullptr, 0);
    return result;
}

TEST_F(WriterFaultsTest, AnExistingFileIsNeverOverwritten) {
    const auto path = directory.file("taken.mp4");
    { std::ofstream(path) << "precious"; }
    auto made = service->makeAssetWriter(path, platform::FileType::mpeg4);
    ASSERT_FALSE(made.ok());
    EXPECT_EQ(made.error().message, "cannot create " + path + ": File exists");
    EXPECT_EQ(std::filesystem::file_size(path), 8u);
}

TEST_F(WriterFaultsTest, AMissingDirectoryIsNamedInTheError) {
    const auto path = directory.file("nowhere/out.mp4");
    auto made = service->makeAssetWriter(path, platform::FileType::mpeg4);
    ASSERT_FALSE(made.ok());
    EXPECT_EQ(made.error().message, "cannot create " + path + ": No such file or directory");
}

TEST_F(WriterFaultsTest, AnUnwritableDirectoryIsRefusedWithPermissionDenied) {
    const auto locked = directory.path() / "locked";
    std::filesystem::create_directory(locked);
    chmod(locked.c_str(), 0555);
    const auto path = (locked / "out.mp4").string();
    // Root writes anywhere; an ordinary user cannot, so the check runs as one.
    const auto message = inChild([&] {
        if (geteuid() == 0 && setuid(65534) != 0) return std::string("cannot drop privileges");
        auto made = recorder::linux_backend::makeFfmpegWriterService()->makeAssetWriter(path, platform::FileType::mpeg4);
        return made.ok() ? std::string("created") : made.error().message;
    });
    EXPECT_EQ(message, "cannot create " + path + ": Permission denied");
}

TEST_F(WriterFaultsTest, InputsRefuseSamplesUnlessTheWriterIsWriting) {
    auto writer = service->makeAssetWriter(directory.file("a.mp4"), platform::FileType::mpeg4).value();
    auto video = service->makeVideoInput(videoSettings(), std::nullopt);
    EXPECT_FALSE(video->appendSampleBuffer(videoSample(nv12Frame(0), MediaTime::zero())));  // not added
    writer->addInput(video);
    EXPECT_FALSE(video->isReadyForMoreMediaData());
    EXPECT_FALSE(video->appendSampleBuffer(videoSample(nv12Frame(0), MediaTime::zero())));  // not writing
    ASSERT_TRUE(writer->startWriting());
    EXPECT_EQ(writer->status(), platform::WriterStatus::writing);
    EXPECT_FALSE(writer->canAddInput(*service->makeAudioInput(audioSettings())));  // too late
    EXPECT_FALSE(video->appendSampleBuffer(platform::SampleBuffer::makeInvalid({})));
    EXPECT_TRUE(appendWaiting(*video, videoSample(nv12Frame(0), MediaTime::zero())));
    video->markAsFinished();
    EXPECT_FALSE(video->isReadyForMoreMediaData());
    EXPECT_FALSE(video->appendSampleBuffer(videoSample(nv12Frame(1), MediaTime::make(1, 60))));
    writer->endSessionAtSourceTime(MediaTime::make(1, 60));
    writer->finishWriting();
    EXPECT_EQ(writer->status(), platform::WriterStatus::completed);
}

// The inputs are attached to a core that no encoding thread drains, so "full" is a state the
// test controls rather than a race with the encoder.
TEST(WriterInputQueue, AFullQueueMakesTheInputNotReadyAndAppendsReturnFalseUntilItDrains) {
    using recorder::linux_backend::FfmpegWriterInput;
    using recorder::linux_backend::WriterCore;
    auto core = std::make_shared<WriterCore>();
    core->status = platform::WriterStatus::writing;
    FfmpegWriterInput video{videoSettings()};
    FfmpegWriterInput audio{audioSettings()};
    ASSERT_TRUE(video.attach(core));
    ASSERT_TRUE(audio.attach(core));

    // Video: a few frames, then refusals that leave the queue as it was.
    int taken = 0;
    for (int i = 0; i < 10; ++i) {
        if (!video.appendSampleBuffer(videoSample(nv12Frame(i), MediaTime::make(i, 60)))) break;
        ++taken;
    }
    EXPECT_EQ(taken, 3);
    EXPECT_FALSE(video.isReadyForMoreMediaData());
    EXPECT_FALSE(video.appendSampleBuffer(videoSample(nv12Frame(9), MediaTime::make(9, 60))));

    // Audio is bounded by duration: eighth-second pieces until four seconds are queued.
    int pieces = 0;
    for (int i = 0; i < 80; ++i) {
        if (!audio.appendSampleBuffer(toneSample(i * 0.125, 0.125, 440))) break;
        ++pieces;
    }
    EXPECT_EQ(pieces, 32);
    EXPECT_FALSE(audio.isReadyForMoreMediaData());
    // A full video queue does not hold back the audio track, and the other way round.
    {
        std::lock_guard lock(core->mutex);
        ASSERT_TRUE(video.hasQueuedLocked());
        EXPECT_EQ(video.popLocked()->presentationTimeStamp(), MediaTime::make(0, 60));
    }
    EXPECT_TRUE(video.isReadyForMoreMediaData());
    EXPECT_FALSE(audio.isReadyForMoreMediaData());
    EXPECT_TRUE(video.appendSampleBuffer(videoSample(nv12Frame(3), MediaTime::make(3, 60))));
    EXPECT_FALSE(video.isReadyForMoreMediaData());
    {
        std::lock_guard lock(core->mutex);
        audio.popLocked();
    }
    EXPECT_TRUE(audio.isReadyForMoreMediaData());

    // Finishing makes both inputs refuse, whatever room they have.
    {
        std::lock_guard lock(core->mutex);
        video.clearLocked();
        core->finishing = true;
    }
    EXPECT_FALSE(video.isReadyForMoreMediaData());
    EXPECT_FALSE(video.appendSampleBuffer(videoSample(nv12Frame(4), MediaTime::make(4, 60))));
    EXPECT_FALSE(audio.appendSampleBuffer(toneSample(4.0, 0.125, 440)));
}

TEST_F(WriterFaultsTest, AFileSizeLimitFailsTheWriterWithTheSystemsDescription) {
    const auto path = directory.file("limited.mp4");
    const auto outcome = inChild([&] {
        rlimit limit{300 * 1024, 300 * 1024};
        setrlimit(RLIMIT_FSIZE, &limit);
        auto writerService = recorder::linux_backend::makeFfmpegWriterService();
        auto writer = writerService->makeAssetWriter(path, platform::FileType::mpeg4).value();
        auto video = writerService->makeVideoInput(videoSettings(), std::nullopt);
        writer->addInput(video);
        if (!writer->startWriting()) return std::string("did not start");
        // Noise does not compress: the limit is reached within a few fragments.
        for (int i = 0; i < 600 && writer->status() == platform::WriterStatus::writing; ++i) {
            auto frame = nv12Frame(i);
            const auto& luma = frame->plane(0);
            for (int y = 0; y < luma.height; ++y)
                for (int x = 0; x < luma.width; ++x) luma.data[y * luma.stride + x] = uint8_t(rand());
            appendWaiting(*video, videoSample(frame, MediaTime::make(i, 60)));
        }
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (writer->status() == platform::WriterStatus::writing && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(1ms);
        }
        writer->finishWriting();
        return std::to_string(static_cast<int>(writer->status())) + "|" +
               (writer->error() ? writer->error()->message : std::string("no error"));
    });
    EXPECT_EQ(outcome, "3|cannot write " + path + ": File too large");
}

TEST_F(WriterFaultsTest, AWriterFinishedWithoutSamplesCompletesWithAReadableFile) {
    const auto path = directory.file("empty.mp4");
    auto writer = service->makeAssetWriter(path, platform::FileType::mpeg4).value();
    auto video = service->makeVideoInput(videoSettings(), std::nullopt);
    auto audio = service->makeAudioInput(audioSettings());
    writer->addInput(video);
    writer->addInput(audio);
    ASSERT_TRUE(writer->startWriting());
    writer->startSessionAtSourceTime(MediaTime::zero());
    writer->endSessionAtSourceTime(MediaTime::zero());
    video->markAsFinished();
    audio->markAsFinished();
    writer->finishWriting();
    EXPECT_EQ(writer->status(), platform::WriterStatus::completed) << (writer->error() ? writer->error()->message : "");
    EXPECT_EQ(probeStream(path, "v:0")["codec_name"], "h264");
}

TEST_F(WriterFaultsTest, AFileRemovedWhileWritingFailsAtFinish) {
    const auto path = directory.file("removed.mp4");
    auto writer = service->makeAssetWriter(path, platform::FileType::mpeg4).value();
    auto video = service->makeVideoInput(videoSettings(), std::nullopt);
    writer->addInput(video);
    ASSERT_TRUE(writer->startWriting());
    ASSERT_TRUE(appendWaiting(*video, videoSample(nv12Frame(0), MediaTime::zero())));
    std::filesystem::remove(path);
    writer->endSessionAtSourceTime(MediaTime::make(1, 60));
    writer->finishWriting();
    EXPECT_EQ(writer->status(), platform::WriterStatus::failed);
    ASSERT_TRUE(writer->error());
    EXPECT_EQ(writer->error()->message, "cannot finish " + path + ": the file was removed while it was being written");
}

TEST_F(WriterFaultsTest, AKilledWriterLeavesAFilePlayableToAboutASecondBeforeTheKill) {
    const auto path = directory.file("killed.mp4");
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    if (child == 0) {
        close(ready[0]);
        auto writerService = recorder::linux_backend::makeFfmpegWriterService();
        auto writer = writerService->makeAssetWriter(path, platform::FileType::mpeg4).value();
        auto video = writerService->makeVideoInput(videoSettings(), std::nullopt);
        auto audio = writerService->makeAudioInput(audioSettings());
        writer->addInput(video);
        writer->addInput(audio);
        writer->startWriting();
        writer->startSessionAtSourceTime(MediaTime::zero());
        (void)!write(ready[1], "go", 2);
        // Real time: a frame every 1/60 s and 20 ms of audio every 20 ms, until killed.
        const auto start = std::chrono::steady_clock::now();
        for (int frame = 0, audioBlock = 0;; ++frame) {
            std::this_thread::sleep_until(start + frame * std::chrono::microseconds(16667));
            video->appendSampleBuffer(videoSample(nv12Frame(frame), MediaTime::make(frame, 60)));
            while (audioBlock * 20 <= frame * 50 / 3) {
                audio->appendSampleBuffer(toneSample(audioBlock * 0.02, 0.02, 440));
                ++audioBlock;
            }
        }
    }
    close(ready[1]);
    char go[2];
    ASSERT_EQ(read(ready[0], go, 2), 2);
    close(ready[0]);
    std::this_thread::sleep_for(3s);  // the recording's length, not a readiness wait
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);

    const auto frames = runCommand("ffprobe -v error -select_streams v:0 -count_frames -show_entries "
                                   "stream=nb_read_frames -of csv=p=0 '" + path + "'");
    ASSERT_FALSE(frames.empty());
    // At least two of the three seconds survive: everything up to about a second before the kill.
    EXPECT_GE(std::stoi(frames), 2 * 60) << frames;
    const auto audio = probeStream(path, "a:0");
    ASSERT_TRUE(audio.count("duration")) << "no audio stream";
    EXPECT_GT(std::stod(audio.at("start_time")) + std::stod(audio.at("duration")), 1.9);
    // Its header, rewritten after each fragment, says how long the fragments on disk last.
    const auto video = probeStream(path, "v:0");
    const double holds = std::stod(video.at("start_time")) + std::stod(video.at("duration"));
    const auto header = readHeaderDurations(path);
    EXPECT_NEAR(header.movie, holds, 0.6);
    ASSERT_EQ(header.tracks.size(), 2u);
    EXPECT_NEAR(header.tracks[0], holds, 0.6);
}

}  // namespace
}  // namespace ffmpeg_writer_test
