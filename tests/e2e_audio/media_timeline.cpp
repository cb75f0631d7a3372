#include "tests/e2e_audio/media_timeline.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <sstream>

#include "tests/e2e_audio/recording_run.hpp"
#include "tests/support/desktop/test_desktop.hpp"

namespace e2eaudio {

namespace {

struct ToolResult {
    int status = -1;
    std::string errorOutput;
};

ToolResult runTool(const std::vector<std::string>& argv) {
    auto tool = testsupport::ChildProcess::spawn(argv);
    tool->closeStdin();
    ToolResult result;
    result.status = tool->waitForExit(std::chrono::minutes(5)).value_or(-1);
    result.errorOutput = tool->stderrSoFar();
    return result;
}

size_t sampleIndex(double seconds, size_t size) {
    if (seconds <= 0) return 0;
    return std::min(size, static_cast<size_t>(std::llround(seconds * kAudioRate)));
}

}  // namespace

float AudioOnTimeline::peakBetween(double fromSeconds, double toSeconds) const {
    const size_t from = sampleIndex(fromSeconds, samples.size());
    const size_t to = sampleIndex(toSeconds, samples.size());
    float peak = 0;
    for (size_t i = from; i < to; ++i) peak = std::max(peak, std::abs(samples[i]));
    return peak;
}

std::optional<double> AudioOnTimeline::onsetBetween(double fromSeconds, double toSeconds, float threshold) const {
    const size_t from = sampleIndex(fromSeconds, samples.size());
    const size_t to = sampleIndex(toSeconds, samples.size());
    for (size_t i = from; i < to; ++i)
        if (std::abs(samples[i]) >= threshold) return static_cast<double>(i) / kAudioRate;
    return std::nullopt;
}

double AudioOnTimeline::quietSeconds(float threshold) const {
    constexpr size_t kBlock = kAudioRate / 100;
    size_t quietBlocks = 0;
    for (size_t start = 0; start + kBlock <= samples.size(); start += kBlock) {
        const bool loud = std::any_of(samples.begin() + static_cast<std::ptrdiff_t>(start),
                                      samples.begin() + static_cast<std::ptrdiff_t>(start + kBlock),
                                      [&](float value) { return std::abs(value) >= threshold; });
        quietBlocks += loud ? 0 : 1;
    }
    return static_cast<double>(quietBlocks) / 100;
}

std::string AudioOnTimeline::describeSounds(float threshold) const {
    // Loud samples closer than this belong to one sound.
    constexpr size_t kGapSamples = kAudioRate / 20;
    std::ostringstream text;
    text << "sounds in " << seconds() << " s of audio:";
    std::optional<size_t> start;
    size_t last = 0;
    auto close = [&] {
        text << ' ' << static_cast<double>(*start) / kAudioRate << '-' << static_cast<double>(last) / kAudioRate;
    };
    for (size_t i = 0; i < samples.size(); ++i) {
        if (std::abs(samples[i]) < threshold) continue;
        if (start && i - last > kGapSamples) {
            close();
            start.reset();
        }
        if (!start) start = i;
        last = i;
    }
    if (start) close();
    return text.str();
}

std::optional<AudioOnTimeline> decodeAudioOnTimeline(const std::string& path, int audioStreamIndex,
                                                     double fromSeconds, bool fileTimes) {
    const TemporaryDirectory scratch;
    const std::string rawPath = scratch.file("audio.f32");
    // The stream is decoded from its first packet and cut afterwards, never sought into: a seek lands
    // on the packet at the wanted time, and without the packet before it the decoder has nothing to
    // overlap its first frame with, so the sound fades in over half a frame, a hole the file lacks.
    // first_pts=0 makes the output start at the timeline's zero: samples before it are dropped and a
    // late start is padded, so a sample's index is its time.
    const std::string from = std::to_string(fromSeconds);
    const std::string filters = "atrim=start=" + from + ",asetpts=PTS-" + from + "/TB,aresample=async=1:first_pts=0";
    std::vector<std::string> command{"ffmpeg", "-nostdin", "-v", "error"};
    // The file's own times: the priming, which lies before zero, is cut.
    if (fileTimes) command.emplace_back("-copyts");
    const std::vector<std::string> rest{"-i",  path,    "-map", "0:a:" + std::to_string(audioStreamIndex),
                                        "-af", filters, "-ac",  "1",
                                        "-ar", std::to_string(kAudioRate),
                                        "-f",  "f32le", "-y",   rawPath};
    command.insert(command.end(), rest.begin(), rest.end());
    const auto decode = runTool(command);
    if (decode.status != 0) return std::nullopt;
    std::ifstream raw(rawPath, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(raw)), std::istreambuf_iterator<char>());
    AudioOnTimeline audio;
    audio.samples.resize(bytes.size() / sizeof(float));
    std::copy_n(bytes.data(), audio.samples.size() * sizeof(float), reinterpret_cast<char*>(audio.samples.data()));
    return audio;
}

std::optional<PictureChange> findBrightening(const std::vector<FrameLuma>& frames, double fromSeconds,
                                             double threshold) {
    for (size_t i = 0; i < frames.size(); ++i) {
        if (frames[i].seconds < fromSeconds || frames[i].luma <= threshold) continue;
        if (i > 0 && frames[i - 1].luma > threshold) continue;
        // Bright from the very first frame: it changed at most a frame before.
        const double before = i > 0 ? frames[i - 1].seconds : frames[i].seconds - kVideoFrameSeconds;
        return PictureChange{before, frames[i].seconds};
    }
    return std::nullopt;
}

double streamEnd(const testsupport::StreamInfo& stream) { return stream.startTime + stream.duration; }

int countStreams(const testsupport::MediaInfo& info, const std::string& codecType) {
    return static_cast<int>(std::count_if(info.streams.begin(), info.streams.end(),
                                          [&](const auto& stream) { return stream.codecType == codecType; }));
}

}  // namespace e2eaudio
