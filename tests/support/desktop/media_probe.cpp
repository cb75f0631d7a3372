#include "tests/support/desktop/media_probe.hpp"

#include "tests/support/desktop/test_desktop.hpp"

#include <nlohmann/json.hpp>

#include <cstdlib>
#include <cstring>
#include <sstream>

namespace testsupport {

namespace {

using namespace std::chrono_literals;

// Decoding a long recording on a busy shared machine can take a while.
constexpr auto toolTimeout = 300s;

struct ToolOutput {
    int status = -1;
    std::string output, errors;
};

ToolOutput runTool(const std::vector<std::string>& argv) {
    auto tool = ChildProcess::spawn(argv);
    tool->closeStdin();
    ToolOutput result;
    result.status = tool->waitForExit(toolTimeout).value_or(-1);
    result.output = tool->stdoutSoFar();
    result.errors = tool->stderrSoFar();
    return result;
}

std::string formatSeconds(double seconds) {
    std::ostringstream text;
    text.imbue(std::locale::classic());
    text.precision(6);
    text << std::fixed << seconds;
    return text.str();
}

// ffprobe writes most numbers as strings ("48000", "10.016000") and leaves out what it does not know.
double numberField(const nlohmann::json& object, const char* name, double fallback = 0) {
    auto it = object.find(name);
    if (it == object.end() || it->is_null()) return fallback;
    if (it->is_number()) return it->get<double>();
    if (it->is_string()) {
        try {
            return std::stod(it->get<std::string>());
        } catch (const std::exception&) {
            return fallback;  // "N/A"
        }
    }
    return fallback;
}

std::string textField(const nlohmann::json& object, const char* name) {
    auto it = object.find(name);
    return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

StreamInfo parseStream(const nlohmann::json& stream) {
    StreamInfo info;
    info.index = static_cast<int>(numberField(stream, "index"));
    info.codecType = textField(stream, "codec_type");
    info.codecName = textField(stream, "codec_name");
    info.profile = textField(stream, "profile");
    info.width = static_cast<int>(numberField(stream, "width"));
    info.height = static_cast<int>(numberField(stream, "height"));
    info.pixelFormat = textField(stream, "pix_fmt");
    info.colorPrimaries = textField(stream, "color_primaries");
    info.colorTransfer = textField(stream, "color_transfer");
    info.colorSpace = textField(stream, "color_space");
    info.colorRange = textField(stream, "color_range");
    info.sampleRate = static_cast<int>(numberField(stream, "sample_rate"));
    info.channels = static_cast<int>(numberField(stream, "channels"));
    info.startTime = numberField(stream, "start_time");
    info.duration = numberField(stream, "duration");
    info.frameCount = static_cast<int64_t>(numberField(stream, "nb_read_packets", -1));
    return info;
}

}  // namespace

const StreamInfo* MediaInfo::firstOfType(const std::string& codecType) const {
    for (const auto& stream : streams)
        if (stream.codecType == codecType) return &stream;
    return nullptr;
}

std::optional<MediaInfo> probeMedia(const std::string& path) {
    auto probe = runTool({"ffprobe", "-v", "error", "-show_format", "-show_streams", "-count_packets", "-of", "json", path});
    if (probe.status != 0) return std::nullopt;
    auto json = nlohmann::json::parse(probe.output, nullptr, /*allow_exceptions=*/false);
    if (json.is_discarded() || !json.contains("format")) return std::nullopt;

    MediaInfo info;
    const auto& format = json["format"];
    info.formatName = textField(format, "format_name");
    info.duration = numberField(format, "duration");
    if (auto tags = format.find("tags"); tags != format.end()) info.majorBrand = textField(*tags, "major_brand");
    if (auto streams = json.find("streams"); streams != json.end() && streams->is_array())
        for (const auto& stream : *streams) info.streams.push_back(parseStream(stream));
    return info;
}

bool decodesCleanly(const std::string& path, std::string* errors) {
    // Decoded frames keep the file's own time base: in ffmpeg's default (1/frame rate, guessed from a
    // variable-rate recording's average) two frames less than a guessed frame apart would collide, and
    // the null muxer would report that as an error of the file.
    auto decode =
        runTool({"ffmpeg", "-nostdin", "-v", "error", "-i", path, "-enc_time_base", "-1", "-f", "null", "-"});
    if (errors) *errors = decode.errors;
    return decode.status == 0 && decode.errors.empty();
}

uint32_t RgbFrame::at(int x, int y) const {
    size_t offset = (static_cast<size_t>(y) * static_cast<size_t>(width) + static_cast<size_t>(x)) * 3;
    return static_cast<uint32_t>(pixels[offset]) << 16 | static_cast<uint32_t>(pixels[offset + 1]) << 8 |
           pixels[offset + 2];
}

std::optional<RgbFrame> decodeFrameAt(const std::string& path, double seconds) {
    auto info = probeMedia(path);
    const StreamInfo* video = info ? info->firstOfType("video") : nullptr;
    if (!video || video->width <= 0 || video->height <= 0) return std::nullopt;

    auto decode = runTool({"ffmpeg", "-nostdin", "-v", "error", "-ss", formatSeconds(seconds), "-i", path, "-frames:v",
                           "1", "-f", "rawvideo", "-pix_fmt", "rgb24", "-"});
    RgbFrame frame;
    frame.width = video->width;
    frame.height = video->height;
    size_t expected = static_cast<size_t>(frame.width) * static_cast<size_t>(frame.height) * 3;
    if (decode.status != 0 || decode.output.size() != expected) return std::nullopt;
    frame.pixels.assign(decode.output.begin(), decode.output.end());
    return frame;
}

std::optional<std::vector<FrameLuma>> lumaTimeline(const std::string& path, int x, int y, int width, int height,
                                                   double fromSeconds) {
    std::ostringstream filter;
    filter << "crop=" << width << ':' << height << ':' << x << ':' << y << ",showinfo";
    const auto decode = runTool({"ffmpeg", "-nostdin", "-ss", formatSeconds(fromSeconds), "-i", path, "-map", "0:v:0",
                                 "-vf", filter.str(), "-f", "null", "-"});
    if (decode.status != 0) return std::nullopt;
    // showinfo writes one line per frame: "... pts_time:1.2345 ... mean:[Y U V] ...".
    std::vector<FrameLuma> frames;
    std::istringstream lines(decode.errors);
    for (std::string line; std::getline(lines, line);) {
        const auto time = line.find(" pts_time:");
        const auto mean = line.find(" mean:[");
        if (time == std::string::npos || mean == std::string::npos) continue;
        FrameLuma frame;
        // A seek makes the times start again at zero.
        frame.seconds = fromSeconds + std::atof(line.c_str() + time + 10);
        frame.luma = std::atof(line.c_str() + mean + 7);
        frames.push_back(frame);
    }
    if (frames.empty()) return std::nullopt;
    return frames;
}

std::optional<std::vector<float>> decodeAudio(const std::string& path, int streamIndex) {
    std::string map = "0:a:" + std::to_string(streamIndex < 0 ? 0 : streamIndex);
    auto decode = runTool({"ffmpeg", "-nostdin", "-v", "error", "-i", path, "-map", map, "-ac", "1", "-ar", "48000",
                           "-f", "f32le", "-"});
    if (decode.status != 0) return std::nullopt;
    std::vector<float> samples(decode.output.size() / sizeof(float));
    std::memcpy(samples.data(), decode.output.data(), samples.size() * sizeof(float));
    return samples;
}

}  // namespace testsupport
