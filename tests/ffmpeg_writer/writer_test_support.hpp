#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "recorder/platform/media_writer.hpp"

namespace ffmpeg_writer_test {

namespace platform = recorder::platform;
using common::MediaTime;

// A directory of its own for each test, removed afterwards.
class ScratchDirectory {
public:
    ScratchDirectory();
    ~ScratchDirectory();
    std::string file(const std::string& name) const { return (path_ / name).string(); }
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// Runs a shell command and returns what it printed on standard output.
std::string runCommand(const std::string& command);

// ffprobe's answer for one stream as key=value pairs (codec_name, profile, duration, ...).
std::map<std::string, std::string> probeStream(const std::string& path, const std::string& selector);
// Presentation times of a stream's packets, in seconds.
struct PacketTiming {
    double pts = 0;
    bool keyframe = false;
};
std::vector<PacketTiming> probePackets(const std::string& path, const std::string& selector);
// Decoded audio of the first audio stream, mono, 48 kHz, on the file's timeline.
std::vector<float> decodeAudio(const std::string& path);
double rms(const std::vector<float>& samples, double fromSeconds, double toSeconds);

// Duration fields of the movie header, in seconds: mvhd, and per track tkhd and mdhd.
struct HeaderDurations {
    double movie = -1;
    std::vector<double> tracks;  // tkhd, in movie time
    std::vector<double> media;   // mdhd, in media time
};
HeaderDurations readHeaderDurations(const std::string& path);
// Types of the file's top-level boxes, in order ("ftyp", "free", "mdat", ...).
std::vector<std::string> topLevelBoxes(const std::string& path);

constexpr int kWidth = 320;
constexpr int kHeight = 240;

platform::VideoSettings videoSettings(int width = kWidth, int height = kHeight);
platform::AudioSettings audioSettings(int bitRate = 128000);

// An NV12 frame with a pattern that changes with `index`.
std::shared_ptr<platform::PixelBuffer> nv12Frame(int index, int width = kWidth, int height = kHeight);
std::shared_ptr<platform::SampleBuffer> videoSample(std::shared_ptr<platform::PixelBuffer> image, MediaTime time);
// A sine tone of `seconds` at `hz` (0: silence), stereo.
std::shared_ptr<platform::SampleBuffer> toneSample(double startSeconds, double seconds, double hz);

// Appends, waiting (briefly polling) while the input is busy, as a non-real-time producer would.
bool appendWaiting(platform::WriterInput& input, const std::shared_ptr<platform::SampleBuffer>& sample);

}  // namespace ffmpeg_writer_test
