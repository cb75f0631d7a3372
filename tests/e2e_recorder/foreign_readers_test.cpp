// Every kind of file the recorder leaves, read the way users meet it: by GStreamer (the demuxer
// of many Linux players and editors) rather than FFmpeg, and after tag editors have changed it.

#include "tests/e2e_recorder/recording_fixture.hpp"
#include "tests/e2e_recorder/video_checks.hpp"
#include "tests/support/desktop/media_probe.hpp"

#include <gtest/gtest.h>

#include <csignal>
#include <cmath>
#include <fstream>
#include <sstream>

namespace e2e_recorder {
namespace {

using testsupport::ChildProcess;

// Pictures the two decoders show for one moment differ by their colour conversions (about 3 in
// mean per channel) and, when they settle on neighbouring frames of the moving picture, by about
// 10. A picture decoded from a frame that is not a keyframe (grey with smears) differs by about 120.
constexpr double kSamePictureMeanDifference = 25.0;

struct Tool {
    int status = -1;
    std::string output, errors;
};

Tool run(const std::vector<std::string>& argv) {
    auto tool = ChildProcess::spawn(argv);
    tool->closeStdin();
    Tool result;
    result.status = tool->waitForExit(120s).value_or(-1);
    result.output = tool->stdoutSoFar();
    result.errors = tool->stderrSoFar();
    return result;
}

std::vector<std::string> topLevelBoxes(const std::string& path) {
    std::vector<std::string> boxes;
    std::ifstream file(path, std::ios::binary);
    file.seekg(0, std::ios::end);
    const auto size = static_cast<uint64_t>(file.tellg());
    for (uint64_t at = 0; at + 8 <= size;) {
        unsigned char header[16];
        file.seekg(static_cast<std::streamoff>(at));
        if (!file.read(reinterpret_cast<char*>(header), 16) && at + 16 <= size) break;
        uint64_t length = 0;
        for (int i = 0; i < 4; ++i) length = length << 8 | header[i];
        if (length == 1)
            for (int i = 8; i < 16; ++i) length = length << 8 | header[i];
        boxes.emplace_back(reinterpret_cast<const char*>(header + 4), 4);
        if (length < 8) break;
        at += length;
    }
    file.clear();
    return boxes;
}

// What GStreamer made of a file (see gst_reader.py).
struct GstReading {
    double duration = -1;
    int frames = -1;
    double videoEnd = 0, audioEnd = 0;
    std::string error = "(no answer)";
    struct Seek {
        double requested = 0, shown = 0;
        int width = 0, height = 0;
        std::string picture;
    };
    std::vector<Seek> seeks;
    std::string transcript;
};

GstReading readWithGStreamer(const std::string& path, const std::vector<double>& positions) {
    const auto scratch = path + ".gst";
    std::filesystem::create_directories(scratch);
    std::vector<std::string> argv{"/usr/bin/python3", E2E_RECORDER_SOURCE_DIR "/gst_reader.py", path, scratch};
    for (double seconds : positions) argv.push_back(std::to_string(seconds));
    const auto tool = run(argv);
    GstReading reading;
    reading.transcript = tool.output + tool.errors;
    std::istringstream lines(tool.output);
    lines.imbue(std::locale::classic());
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        fields.imbue(std::locale::classic());
        std::string tag;
        fields >> tag;
        if (tag == "DURATION") {
            fields >> reading.duration;
        } else if (tag == "DECODED") {
            fields >> reading.frames >> reading.videoEnd >> reading.audioEnd;
            std::getline(fields >> std::ws, reading.error);
        } else if (tag == "SEEK") {
            GstReading::Seek seek;
            fields >> seek.requested >> seek.shown >> seek.width >> seek.height >> seek.picture;
            reading.seeks.push_back(seek);
        }
    }
    return reading;
}

double meanDifference(const std::string& rawRgb, const testsupport::RgbFrame& reference) {
    std::ifstream in(rawRgb, std::ios::binary);
    const std::vector<char> pixels((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (pixels.size() != reference.pixels.size() || pixels.empty()) return 255;
    double sum = 0;
    for (size_t i = 0; i < pixels.size(); ++i) sum += std::abs(int(uint8_t(pixels[i])) - int(reference.pixels[i]));
    return sum / static_cast<double>(pixels.size());
}

std::string formatTag(const std::string& path, const std::string& name) {
    auto probe = run({"ffprobe", "-v", "error", "-show_entries", "format_tags=" + name, "-of", "csv=p=0", path});
    return probe.output.substr(0, probe.output.find('\n'));
}

// Where the video ends as FFmpeg reads it: the last frame lasts until the next would have come,
// which on a starved machine can be much longer than a frame interval.
double videoEnd(const std::string& path) {
    const auto info = testsupport::probeMedia(path);
    const auto* video = info ? info->firstOfType("video") : nullptr;
    return video ? video->startTime + video->duration : 0;
}

// GStreamer decodes every frame to the end without an error, reports the length FFmpeg finds
// (within `lengthTolerance`), and after each seek shows the picture that belongs there.
void expectGStreamerPlaysVideo(const std::string& path, const std::vector<double>& positions, double lengthTolerance) {
    SCOPED_TRACE(path);
    const auto reading = readWithGStreamer(path, positions);
    const auto times = videoPacketTimes(path);
    ASSERT_FALSE(times.empty());
    EXPECT_EQ(reading.error, "-") << reading.transcript;
    EXPECT_EQ(reading.frames, static_cast<int>(times.size())) << reading.transcript;
    EXPECT_NEAR(reading.videoEnd, videoEnd(path), 2 * frameSeconds) << reading.transcript;
    EXPECT_NEAR(reading.duration, videoEnd(path), lengthTolerance) << reading.transcript;
    ASSERT_EQ(reading.seeks.size(), positions.size()) << reading.transcript;
    for (const auto& seek : reading.seeks) {
        // The picture shown at a moment is the last frame that starts at or before it.
        EXPECT_LE(seek.shown, seek.requested + 0.001);
        EXPECT_GE(seek.shown, seek.requested - longestGap(times) - 0.001);
        const auto reference = testsupport::decodeFrameAt(path, seek.shown + 0.001);
        ASSERT_TRUE(reference);
        const double difference = meanDifference(seek.picture, *reference);
        EXPECT_LE(difference, kSamePictureMeanDifference) << "the picture GStreamer shows after seeking to "
                                                          << seek.requested << " s is not the recorded one";
    }
}

// A finished file is a regular one: file type, the retired fragmented header and fragment
// headers as free space, media, then the one complete movie header.
void expectRegularLayout(const std::string& path, const std::string& brand) {
    const auto boxes = topLevelBoxes(path);
    ASSERT_GE(boxes.size(), 4u);
    EXPECT_EQ(boxes.front(), "ftyp");
    EXPECT_EQ(boxes.back(), "moov");
    EXPECT_EQ(std::count(boxes.begin(), boxes.end(), "moov"), 1);
    EXPECT_EQ(std::count(boxes.begin(), boxes.end(), "moof"), 0);
    EXPECT_EQ(std::count(boxes.begin(), boxes.end(), "mfra"), 0);
    EXPECT_GT(std::count(boxes.begin(), boxes.end(), "mdat"), 1);
    const auto info = testsupport::probeMedia(path);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->majorBrand, brand);
}

// Tags a copy with mutagen, then with AtomicParsley; each editor succeeds and leaves its tag and
// the other's, and the file still plays.
template <typename Check>
void expectTagEditorsKeepItPlaying(const std::string& path, Check stillPlays) {
    const auto extension = std::filesystem::path(path).extension().string();
    const auto tagged = path + ".tagged" + extension;
    std::filesystem::copy_file(path, tagged);
    const auto mutagen = run({"/usr/bin/python3", "-c",
                              "import sys, mutagen.mp4; f = mutagen.mp4.MP4(sys.argv[1]); "
                              "f['\\xa9nam'] = ['Tagged by mutagen']; f.save()",
                              tagged});
    EXPECT_EQ(mutagen.status, 0) << mutagen.errors;
    EXPECT_EQ(formatTag(tagged, "title"), "Tagged by mutagen");
    // AtomicParsley turns away every QuickTime movie by its brand ("Quicktime movie files are not
    // supported"), however it is laid out.
    if (extension != ".mov") {
        const auto atomicParsley = run({"AtomicParsley", tagged, "--artist", "Tagged by AtomicParsley", "--overWrite"});
        EXPECT_EQ(atomicParsley.status, 0) << atomicParsley.output << atomicParsley.errors;
        EXPECT_EQ(formatTag(tagged, "artist"), "Tagged by AtomicParsley") << atomicParsley.output;
        EXPECT_EQ(formatTag(tagged, "title"), "Tagged by mutagen");
    }
    stillPlays(tagged);
}

void expectStoppedVideoReadsEverywhere(const std::string& path, const std::string& brand) {
    expectRegularLayout(path, brand);
    // 0.6 s and 2.6 s lie inside fragments, between keyframes; the last one near the end.
    const double end = videoEnd(path);
    expectGStreamerPlaysVideo(path, {0.6, 1.3, 2.6, end - 0.2}, 0.05);
    expectTagEditorsKeepItPlaying(path, [&](const std::string& tagged) {
        expectGStreamerPlaysVideo(tagged, {1.3}, 0.05);
    });
}

class ForeignReaders : public RecordingTest {
protected:
    // A smaller screen than usual: every check decodes the file several times.
    void startDesktopWithMovingPicture(bool sound = false) {
        testsupport::DesktopOptions options;
        options.screenWidth = 1280;
        options.screenHeight = 720;
        options.pulseAudio = sound;
        startDesktop(options);
        movingPicture_ = &addClient("moving-picture", {"--width", "960", "--height", "540", "--x", "100", "--y", "100"});
    }
    DesktopClient* movingPicture_ = nullptr;

    std::string recordAndStop(const std::string& name, const std::string& extraMembers,
                              std::chrono::milliseconds length, bool pauseHalfWay = false) {
        const auto output = outputPath(name);
        RecorderRun recorder(*desktop_, displayRequest(output, extraMembers), directory_);
        EXPECT_TRUE(recorder.waitUntilStarted()) << recorder.process().stderrSoFar();
        if (pauseHalfWay) {
            record(length / 2);
            recorder.send("pause");
            EXPECT_EQ(recorder.nextLine(), "Recording paused");
            record(1s);
            recorder.send("resume");
            EXPECT_EQ(recorder.nextLine(), "Recording resumed");
            record(length / 2);
        } else {
            record(length);
        }
        recorder.stop();
        EXPECT_EQ(recorder.nextLine(), "Recording stopped. Output path: " + output);
        const auto outcome = recorder.finish();
        EXPECT_EQ(outcome.status, 0) << outcome.err;
        RecordProperty(name + "_stop_round_trip_seconds", std::to_string(recorder.stopRoundTripSeconds()));
        return output;
    }
};

TEST_F(ForeignReaders, ADisplayRecordingWithSystemAudioAndItsAudioFile) {
    startDesktopWithMovingPicture(true);
    const auto audioFile = outputPath("system.m4a");
    const auto output =
        recordAndStop("display.mp4", R"(,"capturesSystemAudio":true,"systemAudioOutputPath":")" + audioFile + "\"", 3200ms);
    expectStoppedVideoReadsEverywhere(output, "isom");
    const auto info = testsupport::probeMedia(output);
    ASSERT_TRUE(info && info->firstOfType("audio"));

    expectRegularLayout(audioFile, "M4A ");
    const auto audio = testsupport::probeMedia(audioFile);
    ASSERT_TRUE(audio && audio->firstOfType("audio"));
    const double audioSeconds = audio->firstOfType("audio")->duration;
    const auto audioPlays = [&](const std::string& path) {
        const auto reading = readWithGStreamer(path, {});
        EXPECT_EQ(reading.error, "-") << reading.transcript;
        EXPECT_NEAR(reading.audioEnd, audioSeconds, 0.03) << reading.transcript;
        EXPECT_NEAR(reading.duration, audioSeconds, 0.05) << reading.transcript;
    };
    audioPlays(audioFile);
    expectTagEditorsKeepItPlaying(audioFile, audioPlays);
}

TEST_F(ForeignReaders, AQuickTimeMovie) {
    startDesktopWithMovingPicture();
    expectStoppedVideoReadsEverywhere(recordAndStop("display.mov", "", 3200ms), "qt  ");
}

TEST_F(ForeignReaders, APausedRecording) {
    startDesktopWithMovingPicture();
    expectStoppedVideoReadsEverywhere(recordAndStop("paused.mp4", "", 3200ms, true), "isom");
}

TEST_F(ForeignReaders, AWindowRecording) {
    startDesktopWithMovingPicture();
    expectStoppedVideoReadsEverywhere(
        recordAndStop("window.mp4", ",\"windowId\":" + std::to_string(movingPicture_->windowId), 3200ms), "isom");
}

TEST_F(ForeignReaders, AKilledRecordingTellsItsLength) {
    startDesktopWithMovingPicture();
    const auto output = outputPath("killed.mp4");
    RecorderRun recorder(*desktop_, displayRequest(output), directory_);
    ASSERT_TRUE(recorder.waitUntilStarted()) << recorder.process().stderrSoFar();
    record(3500ms);
    recorder.process().sendSignal(SIGKILL);
    recorder.finish();

    // Still fragmented: nobody finished it. Its header says how long the fragments on disk last.
    const auto boxes = topLevelBoxes(output);
    EXPECT_NE(std::find(boxes.begin(), boxes.end(), "moof"), boxes.end());
    const double holds = videoEnd(output);
    RecordProperty("killed_file_seconds", std::to_string(holds));
    EXPECT_GT(holds, 2.0);
    expectGStreamerPlaysVideo(output, {0.6, 1.3, holds - 0.3}, 0.6);
}

}  // namespace
}  // namespace e2e_recorder
