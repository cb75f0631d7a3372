#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace testsupport {

// What ffprobe reports about one stream of a media file.
struct StreamInfo {
    int index = 0;
    std::string codecType;   // "video" or "audio"
    std::string codecName;   // "h264", "aac"
    std::string profile;
    int width = 0, height = 0;
    std::string pixelFormat;
    std::string colorPrimaries, colorTransfer, colorSpace, colorRange;
    int sampleRate = 0, channels = 0;
    double startTime = 0, duration = 0;
    int64_t frameCount = -1;  // counted packets (-count_packets), -1 when unknown
};

struct MediaInfo {
    std::string formatName;   // e.g. "mov,mp4,m4a,3gp,3g2,mj2"
    std::string majorBrand;
    double duration = 0;
    std::vector<StreamInfo> streams;
    const StreamInfo* firstOfType(const std::string& codecType) const;
};

// Probes `path` with ffprobe; none when ffprobe cannot read the file.
std::optional<MediaInfo> probeMedia(const std::string& path);

// True when `ffmpeg -v error -i path -f null -` decodes the whole file without an error line.
bool decodesCleanly(const std::string& path, std::string* errors = nullptr);

// Decodes video frame(s) to raw RGB24: the frame shown at `seconds`.
struct RgbFrame {
    int width = 0, height = 0;
    std::vector<uint8_t> pixels;  // width * height * 3
    uint32_t at(int x, int y) const;  // 0xRRGGBB
};
std::optional<RgbFrame> decodeFrameAt(const std::string& path, double seconds);

// The mean luma (0 to 255) of a small area in every decoded video frame, with its presentation time.
struct FrameLuma {
    double seconds = 0;
    double luma = 0;
};
// With `fromSeconds`, only the frames from that time on are decoded; their times stay the file's.
std::optional<std::vector<FrameLuma>> lumaTimeline(const std::string& path, int x, int y, int width, int height,
                                                   double fromSeconds = 0);

// Decodes an audio stream to mono float samples at 48 kHz (the average of the channels).
// `streamIndex` counts audio streams only (ffmpeg's 0:a:N): 0 is the first audio stream, whatever
// its place among all streams; -1 means the first one too.
std::optional<std::vector<float>> decodeAudio(const std::string& path, int streamIndex = -1);

}  // namespace testsupport
