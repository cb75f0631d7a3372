#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <thread>

#include "recorder/platform/linux/ffmpeg/ffmpeg_writer_service.hpp"
#include "tests/ffmpeg_writer/writer_test_support.hpp"

namespace ffmpeg_writer_test {
namespace {

constexpr double kTick = 1.0 / 90000;

class VideoWriterTest : public ::testing::Test {
protected:
    std::shared_ptr<platform::MediaWriterService> service = recorder::linux_backend::makeFfmpegWriterService();
    ScratchDirectory directory;

    struct Writer {
        std::shared_ptr<platform::AssetWriter> writer;
        std::shared_ptr<platform::WriterInput> video;
    };
    Writer startVideoWriter(const std::string& path, platform::FileType type = platform::FileType::mpeg4,
                            const platform::VideoSettings& settings = videoSettings()) {
        auto made = service->makeAssetWriter(path, type);
        EXPECT_TRUE(made.ok()) << (made.ok() ? "" : made.error().message);
        Writer result{made.value(), service->makeVideoInput(settings, std::nullopt)};
        result.video->setExpectsMediaDataInRealTime(true);
        EXPECT_TRUE(result.writer->canAddInput(*result.video));
        result.writer->addInput(result.video);
        EXPECT_TRUE(result.writer->startWriting());
        result.writer->startSessionAtSourceTime(MediaTime::zero());
        return result;
    }
    // Writes frames at the given times (in 1/600 s) and ends the session at `end`.
    std::string writeFrames(const std::vector<int64_t>& times600, MediaTime end,
                            platform::FileType type = platform::FileType::mpeg4, const char* name = "out.mp4") {
        const auto path = directory.file(name);
        auto [writer, video] = startVideoWriter(path, type);
        int index = 0;
        for (const auto time : times600) {
            EXPECT_TRUE(appendWaiting(*video, videoSample(nv12Frame(index++), MediaTime::make(time, 600))));
        }
        writer->endSessionAtSourceTime(end);
        video->markAsFinished();
        writer->finishWriting();
        EXPECT_EQ(writer->status(), platform::WriterStatus::completed)
            << (writer->error() ? writer->error()->message : "no error");
        return path;
    }
};

TEST_F(VideoWriterTest, WritesH264At420WithBT709TagsInStreamAndContainer) {
    std::vector<int64_t> times;
    for (int i = 0; i < 60; ++i) times.push_back(i * 10);  // 60 fps for one second
    const auto path = writeFrames(times, MediaTime::make(600, 600));

    auto stream = probeStream(path, "v:0");
    EXPECT_EQ(stream["codec_name"], "h264");
    EXPECT_EQ(stream["width"], std::to_string(kWidth));
    EXPECT_EQ(stream["height"], std::to_string(kHeight));
    EXPECT_EQ(stream["pix_fmt"], "yuv420p");
    EXPECT_EQ(stream["profile"].find("4:4:4"), std::string::npos) << stream["profile"];
    EXPECT_EQ(stream["color_primaries"], "bt709");
    EXPECT_EQ(stream["color_transfer"], "bt709");
    EXPECT_EQ(stream["color_space"], "bt709");
    EXPECT_EQ(stream["color_range"], "tv");
    EXPECT_EQ(stream["nb_frames"] == "N/A" ? "60" : stream["nb_frames"], "60");

    // The container says BT.709 too (colr nclx: primaries 1, transfer 1, matrix 1), not only the bitstream.
    std::ifstream in(path, std::ios::binary);
    const std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const auto colr = data.find("colrnclx");
    ASSERT_NE(colr, std::string::npos);
    EXPECT_EQ(data.substr(colr + 8, 6), std::string("\0\1\0\1\0\1", 6));
}

TEST_F(VideoWriterTest, DurationEqualsTheSessionEndInStreamAndHeaders) {
    // 1.2345 s is not a whole number of frames: the last frame is stretched to it exactly.
    const auto path = writeFrames({0, 10, 20, 30}, MediaTime::make(12345, 10000));
    auto stream = probeStream(path, "v:0");
    EXPECT_NEAR(std::stod(stream["duration"]), 1.2345, kTick);
    const auto headers = readHeaderDurations(path);
    EXPECT_NEAR(headers.movie, 1.2345, 0.001);  // movie timescale is 1/1000
    ASSERT_EQ(headers.tracks.size(), 1u);
    EXPECT_NEAR(headers.tracks[0], 1.2345, 0.001);
    ASSERT_EQ(headers.media.size(), 1u);
    EXPECT_NEAR(headers.media[0], 1.2345, kTick);
}

TEST_F(VideoWriterTest, IrregularFrameTimesAreKeptAndTheLastFrameLastsToTheEnd) {
    // 0, 0.1, 0.35, 0.4, 1.0 seconds; session end 1.5.
    const auto path = writeFrames({0, 60, 210, 240, 600}, MediaTime::make(900, 600));
    const auto packets = probePackets(path, "v:0");
    ASSERT_EQ(packets.size(), 5u);
    const double expected[] = {0, 0.1, 0.35, 0.4, 1.0};
    for (size_t i = 0; i < 5; ++i) EXPECT_NEAR(packets[i].pts, expected[i], kTick) << i;
    // Each frame lasts until the next; the last one until the session end.
    EXPECT_NEAR(std::stod(probeStream(path, "v:0")["duration"]), 1.5, kTick);
}

TEST_F(VideoWriterTest, AFrameAtOrAfterTheSessionEndIsDropped) {
    // The closing frame appended at the end only marks where the previous one stops.
    auto path = writeFrames({0, 300, 600}, MediaTime::make(600, 600));
    auto packets = probePackets(path, "v:0");
    ASSERT_EQ(packets.size(), 2u);
    EXPECT_NEAR(packets[1].pts, 0.5, kTick);
    EXPECT_NEAR(std::stod(probeStream(path, "v:0")["duration"]), 1.0, kTick);

    // Frames that arrive once the end is known, at or after it, are not written either.
    path = directory.file("late.mp4");
    auto [writer, video] = startVideoWriter(path);
    ASSERT_TRUE(appendWaiting(*video, videoSample(nv12Frame(0), MediaTime::zero())));
    ASSERT_TRUE(appendWaiting(*video, videoSample(nv12Frame(1), MediaTime::make(1, 2))));
    writer->endSessionAtSourceTime(MediaTime::make(1, 1));
    appendWaiting(*video, videoSample(nv12Frame(2), MediaTime::make(1, 1)));
    appendWaiting(*video, videoSample(nv12Frame(3), MediaTime::make(6, 5)));
    video->markAsFinished();
    writer->finishWriting();
    ASSERT_EQ(writer->status(), platform::WriterStatus::completed);
    EXPECT_EQ(probePackets(path, "v:0").size(), 2u);
    EXPECT_NEAR(std::stod(probeStream(path, "v:0")["duration"]), 1.0, kTick);
}

TEST_F(VideoWriterTest, KeyframesKeepTheirIntervalOnTheTimelineAndFragmentsStayShort) {
    // A still screen: a frame every quarter second, far fewer than the 120 frames x264 counts to
    // its next keyframe. Keyframes come every two seconds of timeline all the same.
    auto settings = videoSettings();
    settings.compression["keyint"] = "120";
    const auto path = directory.file("sparse.mp4");
    auto [writer, video] = startVideoWriter(path, platform::FileType::mpeg4, settings);
    for (int i = 0; i < 24; ++i) ASSERT_TRUE(appendWaiting(*video, videoSample(nv12Frame(i), MediaTime::make(i, 4))));
    writer->endSessionAtSourceTime(MediaTime::make(6, 1));
    video->markAsFinished();
    writer->finishWriting();
    ASSERT_EQ(writer->status(), platform::WriterStatus::completed);

    std::vector<double> keyframes;
    for (const auto& packet : probePackets(path, "v:0"))
        if (packet.keyframe) keyframes.push_back(packet.pts);
    ASSERT_EQ(keyframes.size(), 3u);
    for (size_t i = 0; i < keyframes.size(); ++i) EXPECT_NEAR(keyframes[i], 2.0 * i, kTick);

    // Fragments are still cut every half second between keyframes (a crash costs no more than
    // that); the finished file keeps them, retyped, behind one complete movie header.
    const auto boxes = topLevelBoxes(path);
    EXPECT_EQ(boxes.back(), "moov");
    EXPECT_EQ(std::count(boxes.begin(), boxes.end(), "mdat"), 12);
}

TEST_F(VideoWriterTest, QuickTimeMovieUsesTheMovContainer) {
    const auto path = writeFrames({0, 10, 20}, MediaTime::make(30, 600), platform::FileType::quickTimeMovie, "out.mov");
    const auto format = runCommand("ffprobe -v error -show_entries format_tags=major_brand -of csv=p=0 '" + path + "'");
    EXPECT_EQ(format.substr(0, 2), "qt") << format;
    EXPECT_NEAR(std::stod(probeStream(path, "v:0")["duration"]), 0.05, kTick);
}

TEST_F(VideoWriterTest, AdaptorPoolAppearsWhenWritingAndBgraFramesKeepTheirColour) {
    const auto path = directory.file("adaptor.mp4");
    auto writer = service->makeAssetWriter(path, platform::FileType::mpeg4).value();
    auto video = service->makeVideoInput(videoSettings(), platform::VideoFormatDescription{platform::kPixelFormatBGRA, kWidth, kHeight});
    writer->addInput(video);
    auto adaptor = service->makePixelBufferAdaptor(video, {platform::kPixelFormatBGRA, kWidth, kHeight});
    ASSERT_TRUE(adaptor);
    EXPECT_EQ(adaptor->pixelBufferPool(), nullptr);
    ASSERT_TRUE(writer->startWriting());
    writer->startSessionAtSourceTime(MediaTime::zero());
    auto pool = adaptor->pixelBufferPool();
    ASSERT_TRUE(pool);
    EXPECT_EQ(pool->pixelFormat(), platform::kPixelFormatBGRA);
    EXPECT_EQ(pool->width(), kWidth);
    EXPECT_EQ(pool->height(), kHeight);
    for (int i = 0; i < 10; ++i) {
        auto buffer = pool->createPixelBuffer().value();
        const auto& plane = buffer->plane(0);
        for (int y = 0; y < kHeight; ++y) {
            for (int x = 0; x < kWidth; ++x) {
                uint8_t* pixel = plane.data + y * plane.stride + x * 4;
                // Left half orange (B 0x20, G 0x80, R 0xF0), right half pure blue.
                const bool left = x < kWidth / 2;
                pixel[0] = left ? 0x20 : 0xFF;
                pixel[1] = left ? 0x80 : 0x00;
                pixel[2] = left ? 0xF0 : 0x00;
                pixel[3] = 0xFF;
            }
        }
        while (!video->isReadyForMoreMediaData()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ASSERT_TRUE(adaptor->appendPixelBuffer(buffer, MediaTime::make(i, 60)));
    }
    writer->endSessionAtSourceTime(MediaTime::make(10, 60));
    video->markAsFinished();
    writer->finishWriting();
    ASSERT_EQ(writer->status(), platform::WriterStatus::completed);

    // Decoded with the BT.709 matrix the file is tagged with, the colours come back.
    const auto rgb = runCommand("ffmpeg -v error -i '" + path +
                                "' -frames:v 1 -vf scale=in_color_matrix=bt709:out_color_matrix=bt709,format=rgb24 "
                                "-f rawvideo -");
    ASSERT_EQ(rgb.size(), size_t(kWidth * kHeight * 3));
    auto at = [&](int x, int y, int channel) { return int(uint8_t(rgb[(y * kWidth + x) * 3 + channel])); };
    EXPECT_NEAR(at(40, 120, 0), 0xF0, 6);
    EXPECT_NEAR(at(40, 120, 1), 0x80, 6);
    EXPECT_NEAR(at(40, 120, 2), 0x20, 6);
    EXPECT_NEAR(at(280, 120, 0), 0x00, 6);
    EXPECT_NEAR(at(280, 120, 1), 0x00, 6);
    EXPECT_NEAR(at(280, 120, 2), 0xFF, 6);
}

TEST_F(VideoWriterTest, SettingsAssistantOffersH264OnlyForItsPreset) {
    EXPECT_EQ(service->makeOutputSettingsAssistant("1920x1080"), nullptr);
    auto assistant = service->makeOutputSettingsAssistant(platform::kVideoPreset3840x2160);
    ASSERT_TRUE(assistant);
    assistant->setSourceVideoFormat(service->makeVideoFormatDescription(platform::kPixelFormat420v, 1280, 720).value());
    auto settings = assistant->videoSettings();
    ASSERT_TRUE(settings);
    EXPECT_EQ(settings->codec, "h264");
    EXPECT_EQ(settings->compression.at("bframes"), "0");
    EXPECT_TRUE(settings->compression.count("preset"));
    EXPECT_FALSE(service->makeVideoFormatDescription(0x79757632 /* 'yuv2' */, 16, 16).ok());
}

TEST_F(VideoWriterTest, ABadCompressionSettingFailsTheStartWithItsName) {
    auto writer = service->makeAssetWriter(directory.file("bad.mp4"), platform::FileType::mpeg4).value();
    auto settings = videoSettings();
    settings.compression["preset"] = "warpspeed";
    auto video = service->makeVideoInput(settings, std::nullopt);
    writer->addInput(video);
    EXPECT_FALSE(writer->startWriting());
    EXPECT_EQ(writer->status(), platform::WriterStatus::failed);
    ASSERT_TRUE(writer->error());
    EXPECT_NE(writer->error()->message.find("preset=warpspeed"), std::string::npos) << writer->error()->message;
}

}  // namespace
}  // namespace ffmpeg_writer_test
