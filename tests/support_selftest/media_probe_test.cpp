#include "tests/support/desktop/media_probe.hpp"
#include "tests/support/desktop/test_desktop.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>

namespace testsupport {
namespace {

using namespace std::chrono_literals;

// Media files made by ffmpeg from its own generators, so the expected content is known exactly.
class MediaProbe : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        directory_ = std::filesystem::temp_directory_path() / ("media-probe-test-" + std::to_string(::getpid()));
        std::filesystem::create_directories(directory_);
        // 2 s of 320x240 at 30 fps: left half red, right half blue; a 1 kHz sine at half scale on
        // stream 1 (stereo 48 kHz) and silence on stream 2.
        make("sample.mp4",
             "-f lavfi -i color=c=red:size=160x240:rate=30:duration=2 "
             "-f lavfi -i color=c=blue:size=160x240:rate=30:duration=2 "
             "-f lavfi -i 'aevalsrc=0.5*sin(2*PI*1000*t):s=48000:d=2' "
             "-f lavfi -i anullsrc=sample_rate=48000:channel_layout=mono "
             "-filter_complex \"[0][1]hstack[v];[2]aformat=channel_layouts=stereo[a]\" "
             "-map [v] -map [a] -map 3:a -t 2 -c:v libx264 -pix_fmt yuv420p -c:a aac -b:a 192k");
    }
    static void TearDownTestSuite() { std::filesystem::remove_all(directory_); }

    static void make(const std::string& name, const std::string& arguments) {
        auto ffmpeg = ChildProcess::spawn(
            {"/bin/sh", "-c", "ffmpeg -nostdin -v error -y " + arguments + " " + path(name)});
        ASSERT_EQ(ffmpeg->waitForExit(120s), 0) << ffmpeg->stderrSoFar();
    }
    static std::string path(const std::string& name) { return (directory_ / name).string(); }

    static inline std::filesystem::path directory_;
};

TEST_F(MediaProbe, ReportsContainerAndStreams) {
    auto info = probeMedia(path("sample.mp4"));
    ASSERT_TRUE(info.has_value());
    EXPECT_NE(info->formatName.find("mp4"), std::string::npos);
    EXPECT_EQ(info->majorBrand, "isom");
    EXPECT_NEAR(info->duration, 2.0, 0.1);
    ASSERT_EQ(info->streams.size(), 3u);

    const StreamInfo* video = info->firstOfType("video");
    ASSERT_NE(video, nullptr);
    EXPECT_EQ(video->index, 0);
    EXPECT_EQ(video->codecName, "h264");
    EXPECT_EQ(video->width, 320);
    EXPECT_EQ(video->height, 240);
    EXPECT_EQ(video->pixelFormat, "yuv420p");
    EXPECT_EQ(video->frameCount, 60);

    const StreamInfo* audio = info->firstOfType("audio");
    ASSERT_NE(audio, nullptr);
    EXPECT_EQ(audio->index, 1);
    EXPECT_EQ(audio->codecName, "aac");
    EXPECT_EQ(audio->profile, "LC");
    EXPECT_EQ(audio->sampleRate, 48000);
    EXPECT_EQ(audio->channels, 2);
    EXPECT_EQ(info->streams[2].channels, 1);
    EXPECT_EQ(info->firstOfType("subtitle"), nullptr);
}

TEST_F(MediaProbe, UnreadableFilesHaveNoInformationAndDoNotDecode) {
    EXPECT_FALSE(probeMedia(path("missing.mp4")).has_value());
    std::ofstream(path("garbage.mp4")) << "this is not a movie";
    EXPECT_FALSE(probeMedia(path("garbage.mp4")).has_value());
    std::string errors;
    EXPECT_FALSE(decodesCleanly(path("garbage.mp4"), &errors));
    EXPECT_FALSE(errors.empty());
    EXPECT_FALSE(decodeFrameAt(path("garbage.mp4"), 0).has_value());
    EXPECT_FALSE(decodeAudio(path("garbage.mp4")).has_value());
}

TEST_F(MediaProbe, CompleteFileDecodesCleanlyAndATruncatedOneDoesNot) {
    std::string errors = "unchanged";
    EXPECT_TRUE(decodesCleanly(path("sample.mp4"), &errors));
    EXPECT_EQ(errors, "");

    // Keep the header and cut the media data short, as a recorder killed mid-write would.
    auto size = std::filesystem::file_size(path("sample.mp4"));
    std::filesystem::copy_file(path("sample.mp4"), path("truncated.mp4"),
                               std::filesystem::copy_options::overwrite_existing);
    std::filesystem::resize_file(path("truncated.mp4"), size / 2);
    EXPECT_FALSE(decodesCleanly(path("truncated.mp4")));
}

TEST_F(MediaProbe, DecodedFrameIsUprightWithExactGeometry) {
    auto frame = decodeFrameAt(path("sample.mp4"), 1.0);
    ASSERT_TRUE(frame.has_value());
    EXPECT_EQ(frame->width, 320);
    EXPECT_EQ(frame->height, 240);
    ASSERT_EQ(frame->pixels.size(), 320u * 240u * 3u);
    auto near = [](uint32_t actual, uint32_t expected) {
        for (int shift : {16, 8, 0})
            if (std::abs(int((actual >> shift) & 0xFF) - int((expected >> shift) & 0xFF)) > 12) return false;
        return true;
    };
    EXPECT_TRUE(near(frame->at(40, 120), 0xFF0000)) << std::hex << frame->at(40, 120);
    EXPECT_TRUE(near(frame->at(280, 120), 0x0000FF)) << std::hex << frame->at(280, 120);
    EXPECT_TRUE(near(frame->at(0, 0), 0xFF0000)) << std::hex << frame->at(0, 0);
    EXPECT_TRUE(near(frame->at(319, 239), 0x0000FF)) << std::hex << frame->at(319, 239);
}

TEST_F(MediaProbe, DecodedAudioIsMonoAt48kHzFromTheChosenAudioStream) {
    auto sine = decodeAudio(path("sample.mp4"));
    ASSERT_TRUE(sine.has_value());
    EXPECT_NEAR(double(sine->size()), 2.0 * 48000, 48000 * 0.05);
    // Half-scale sine in both channels: the mono average keeps amplitude 0.5, RMS 0.354.
    double sum = 0;
    for (float s : *sine) sum += double(s) * s;
    EXPECT_NEAR(std::sqrt(sum / double(sine->size())), 0.5 / std::sqrt(2.0), 0.03);

    auto same = decodeAudio(path("sample.mp4"), 0);
    ASSERT_TRUE(same.has_value());
    EXPECT_EQ(same->size(), sine->size());

    auto silence = decodeAudio(path("sample.mp4"), 1);
    ASSERT_TRUE(silence.has_value());
    EXPECT_FALSE(silence->empty());
    float peak = 0;
    for (float s : *silence) peak = std::max(peak, std::abs(s));
    EXPECT_LT(peak, 1e-3f);

    EXPECT_FALSE(decodeAudio(path("sample.mp4"), 2).has_value()) << "there is no third audio stream";
}

}  // namespace
}  // namespace testsupport
