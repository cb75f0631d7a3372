#pragma once

#include <string>
#include <vector>

namespace e2e_recorder {

// True when ffmpeg decodes every frame of `path` without an error line. Frame times pass through as
// they are: a recording has variable frame timing, and re-timing it to a constant rate (ffmpeg's
// default) reports frames closer than 1/60 s as timestamp errors of its own making.
bool decodesWithoutErrors(const std::string& path, std::string* errors = nullptr);

// The presentation times in seconds of the first video stream's packets, in file order.
std::vector<double> videoPacketTimes(const std::string& path);

// The share of gaps between consecutive `times` that are at most `seconds` long (0 when there are none).
double shareOfGapsWithin(const std::vector<double>& times, double seconds);

}  // namespace e2e_recorder
