#include <gtest/gtest.h>

#include <cmath>

#include "recorder/platform/linux/ffmpeg/ffmpeg_writer_service.hpp"
#include "tests/ffmpeg_writer/writer_test_support.hpp"

namespace ffmpeg_writer_test {
namespace {

class AudioWriterTest : public ::testing::Test {
protected:
    std::shared_ptr<platform::MediaWriterService> service = recorder::linux_backend::makeFfmpegWriterService();
    ScratchDirectory directory;

    // An .m4a file of the given buffers, finished without a session end.
    std::string writeAudioFile(const std::vector<std::shared_ptr<platform::SampleBuffer>>& buffers) {
        const auto path = directory.file("audio.m4a");
        auto writer = service->makeAssetWriter(path, platform::FileType::appleM4A).value();
        auto audio = service->makeAudioInput(audioSettings(160000));
        EXPECT_TRUE(writer->canAddInput(*audio));
        writer->addInput(audio);
        EXPECT_TRUE(writer->startWriting());
        writer->startSessionAtSourceTime(MediaTime::zero());
        for (const auto& buffer : buffers) EXPECT_TRUE(appendWaiting(*audio, buffer));
        audio->markAsFinished();
        writer->finishWriting();
        EXPECT_EQ(writer->status(), platform::WriterStatus::completed)
            << (writer->error() ? writer->error()->message : "");
        return path;
    }
};

// Where the track ends on the timeline as ffprobe sees it (the encoder's priming lies before zero).
double streamEnd(const std::string& path, const std::string& selector) {
    auto stream = probeStream(path, selector);
    return std::stod(stream["start_time"]) + std::stod(stream["duration"]);
}

TEST_F(AudioWriterTest, AnAudioFileIsAacStereoAndEndsAtItsLastSample) {
    const auto path = writeAudioFile({toneSample(0, 0.5, 440), toneSample(0.5, 0.5, 440)});
    auto stream = probeStream(path, "a:0");
    EXPECT_EQ(stream["codec_name"], "aac");
    EXPECT_EQ(stream["sample_rate"], "48000");
    EXPECT_EQ(stream["channels"], "2");
    EXPECT_NEAR(streamEnd(path, "a:0"), 1.0, 1.0 / 48000);
    const auto format = runCommand("ffprobe -v error -show_entries format=format_name -of csv=p=0 '" + path + "'");
    EXPECT_NE(format.find("mp4"), std::string::npos);
}

TEST_F(AudioWriterTest, AGapBetweenBuffersIsSilenceAndLaterAudioKeepsItsTime) {
    // Tone 0 to 0.5 s, nothing until 1.0 s, tone 1.0 to 1.5 s.
    const auto path = writeAudioFile({toneSample(0, 0.5, 1000), toneSample(1.0, 0.5, 1000)});
    EXPECT_NEAR(streamEnd(path, "a:0"), 1.5, 1.0 / 48000);
    // The edit list hides the encoder's priming from readers: decoded audio starts on the timeline.
    const auto timeline = decodeAudio(path);
    EXPECT_GT(rms(timeline, 0.1, 0.4), 0.2);
    EXPECT_LT(rms(timeline, 0.55, 0.95), 0.01);
    EXPECT_GT(rms(timeline, 1.1, 1.4), 0.2);
    // The second tone starts at 1.0 s, within a couple of milliseconds (the codec smears onsets).
    EXPECT_LT(rms(timeline, 0.96, 0.997), 0.02);
    EXPECT_GT(rms(timeline, 1.003, 1.04), 0.2);
}

TEST_F(AudioWriterTest, OverlappingSamplesAreTrimmed) {
    // The second buffer claims to start 0.1 s before the first one ended: those 0.1 s are dropped.
    const auto path = writeAudioFile({toneSample(0, 0.5, 440), toneSample(0.4, 0.5, 440)});
    EXPECT_NEAR(streamEnd(path, "a:0"), 0.9, 1.0 / 48000);
}

TEST_F(AudioWriterTest, SmallTimestampJitterIsNotAGap) {
    // 1 ms late then 1 ms early: taken as contiguous, so the file is exactly as long as the audio.
    const auto path = writeAudioFile({toneSample(0, 0.5, 440), toneSample(0.501, 0.5, 440), toneSample(0.999, 0.5, 440)});
    EXPECT_NEAR(streamEnd(path, "a:0"), 1.5, 1.0 / 48000);
}

TEST_F(AudioWriterTest, InlineAudioStopsAtTheSessionEndAndSilenceFillsTheStart) {
    const auto path = directory.file("inline.mp4");
    auto writer = service->makeAssetWriter(path, platform::FileType::mpeg4).value();
    auto video = service->makeVideoInput(videoSettings(), std::nullopt);
    auto audio = service->makeAudioInput(audioSettings(192000));
    writer->addInput(video);
    ASSERT_TRUE(writer->canAddInput(*audio));
    writer->addInput(audio);
    ASSERT_TRUE(writer->startWriting());
    writer->startSessionAtSourceTime(MediaTime::zero());
    for (int i = 0; i < 30; ++i) ASSERT_TRUE(appendWaiting(*video, videoSample(nv12Frame(i), MediaTime::make(i, 30))));
    // Audio starts at 0.2 s and runs to 2.2 s; the session ends at 1.5 s.
    for (int i = 0; i < 20; ++i) ASSERT_TRUE(appendWaiting(*audio, toneSample(0.2 + i * 0.1, 0.1, 440)));
    writer->endSessionAtSourceTime(MediaTime::make(3, 2));
    video->markAsFinished();
    audio->markAsFinished();
    writer->finishWriting();
    ASSERT_EQ(writer->status(), platform::WriterStatus::completed) << (writer->error() ? writer->error()->message : "");

    EXPECT_NEAR(streamEnd(path, "v:0"), 1.5, 1.0 / 90000);
    EXPECT_NEAR(streamEnd(path, "a:0"), 1.5, 1.0 / 48000);
    EXPECT_NEAR(readHeaderDurations(path).movie, 1.5, 0.001);
    const auto timeline = decodeAudio(path);
    EXPECT_LT(rms(timeline, 0.0, 0.19), 0.01);
    EXPECT_GT(rms(timeline, 0.25, 1.45), 0.2);
}

TEST_F(AudioWriterTest, AnM4aFileTakesNoVideo) {
    auto writer = service->makeAssetWriter(directory.file("x.m4a"), platform::FileType::appleM4A).value();
    auto video = service->makeVideoInput(videoSettings(), std::nullopt);
    EXPECT_FALSE(writer->canAddInput(*video));
}

}  // namespace
}  // namespace ffmpeg_writer_test
