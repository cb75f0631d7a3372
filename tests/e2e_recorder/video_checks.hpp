#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

namespace e2e_recorder {

// True when ffmpeg decodes every frame of `path` without an error line. Frame times pass through as
// they are: a recording has variable frame timing, and re-timing it to a constant rate (ffmpeg's
// default) reports frames closer than 1/60 s as timestamp errors of its own making.
bool decodesWithoutErrors(const std::string& path, std::string* errors = nullptr);

// The presentation times in seconds of the first video stream's packets, in file order.
std::vector<double> videoPacketTimes(const std::string& path);

// The longest gap between consecutive `times` (0 when there are fewer than two).
double longestGap(const std::vector<double>& times);

// The share of gaps between consecutive `times` that are at most `seconds` long (0 when there are none).
double shareOfGapsWithin(const std::vector<double>& times, double seconds);

// The colour description of the first decoded video frame: what the H.264 stream itself says (its
// VUI), whatever the container adds. ffprobe's names, e.g. "bt709", "bt709", "bt709".
struct ColourTags {
    std::string primaries, transfer, matrix;
};
std::optional<ColourTags> streamColourTags(const std::string& path);

// The colour description in the container's 'colr' box ('nclx' in MPEG-4, 'nclc' in QuickTime) as
// the three code points of ITU-T H.273 (1, 1, 1 is BT.709); none when the file has no such box.
std::optional<std::array<int, 3>> containerColourCodes(const std::string& path);

}  // namespace e2e_recorder
