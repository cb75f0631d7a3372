#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>

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

// One 10 ms buffer of a steady 1 kHz tone that continues the buffers before it, stamped `startSeconds`.
std::shared_ptr<platform::SampleBuffer> steadyToneBuffer(int64_t index, double startSeconds) {
    constexpr int64_t kFrames = 480;
    auto audio = std::make_shared<platform::AudioData>();
    audio->samples.resize(kFrames * 2);
    for (int64_t i = 0; i < kFrames; ++i) {
        const double phase = static_cast<double>((index * kFrames + i) % 48) / 48;
        audio->samples[2 * i] = audio->samples[2 * i + 1] = static_cast<float>(0.5 * std::sin(2 * std::numbers::pi * phase));
    }
    platform::SampleTimingInfo timing;
    timing.presentationTimeStamp = MediaTime::make(std::llround(startSeconds * 1e6), 1000000);
    timing.duration = MediaTime::make(kFrames, 48000);
    return platform::SampleBuffer::makeAudio(std::move(audio), timing);
}

// The peak level of a steady tone between two times (the decoder's mix to mono scales it).
double toneLevel(const std::vector<float>& x, double fromSeconds, double toSeconds) {
    return rms(x, fromSeconds, toSeconds) * std::numbers::sqrt2;
}

// The largest break in a steady 1 kHz tone between two times, relative to its level: a sine
// predicts each sample from the two before it, so anything but the codec's noise (about 0.002) is a
// break in the waveform.
double largestBreak(const std::vector<float>& x, double fromSeconds, double toSeconds) {
    const double coefficient = 2 * std::cos(2 * std::numbers::pi * 1000 / 48000);
    const double level = toneLevel(x, fromSeconds, toSeconds);
    double largest = 0;
    for (auto n = static_cast<size_t>(fromSeconds * 48000); n < static_cast<size_t>(toSeconds * 48000) && n < x.size(); ++n) {
        largest = std::max(largest, std::abs(x[n] - coefficient * x[n - 1] + x[n - 2]) / level);
    }
    return largest;
}

TEST_F(AudioWriterTest, TimestampJitterAndClockDriftKeepTheSoundWholeAndOnTime) {
    // Ten seconds of an unbroken tone from a source whose clock runs 600 ppm fast against the
    // timeline (6 ms in the ten seconds), its timestamps jittering by up to a millisecond.
    std::vector<std::shared_ptr<platform::SampleBuffer>> buffers;
    constexpr int kBuffers = 1000;
    double lastStart = 0;
    for (int i = 0; i < kBuffers; ++i) {
        const double jitter = 0.001 * std::sin(i * 1.7);
        lastStart = std::max(0.0, i * 0.010 * (1 - 600e-6) + jitter);
        buffers.push_back(steadyToneBuffer(i, lastStart));
    }
    const auto path = writeAudioFile(buffers);
    // No break where cutting or padding a few samples would have made one.
    // The edit list hides the encoder's priming from readers: decoded audio starts on the timeline.
    const auto timeline = decodeAudio(path);
    EXPECT_LT(largestBreak(timeline, 0.05, kBuffers * 0.010 - 0.05), 0.03);
    // And the sound ends where its timestamps say, not where counting its samples would put it.
    EXPECT_NEAR(streamEnd(path, "a:0"), lastStart + 0.010, 0.0015);
}

TEST_F(AudioWriterTest, SoundBeforeTheSessionStartIsCutAndTheRestKeepsItsTime) {
    // A 440 Hz tone from 5 ms before the start: the file begins with its sound at 0 s, not with
    // its first sample; 5 ms is 2.2 periods, so a shifted tone would be out of phase.
    const auto path = writeAudioFile({toneSample(-0.005, 0.010, 440), toneSample(0.005, 0.5, 440)});
    EXPECT_NEAR(streamEnd(path, "a:0"), 0.505, 1.0 / 48000);
    // The edit list hides the encoder's priming from readers: decoded audio starts on the timeline.
    const auto timeline = decodeAudio(path);
    ASSERT_GT(timeline.size(), 48000u * 4 / 10);
    const double level = toneLevel(timeline, 0.02, 0.4);
    double largestDifference = 0;
    for (size_t i = 48000 / 50; i < 48000 * 4 / 10; ++i) {
        const double expected = level * std::sin(2 * std::numbers::pi * 440 * static_cast<double>(i) / 48000);
        largestDifference = std::max(largestDifference, std::abs(timeline[i] - expected) / level);
    }
    EXPECT_LT(largestDifference, 0.03);
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
