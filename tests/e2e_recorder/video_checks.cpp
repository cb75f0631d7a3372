#include "tests/e2e_recorder/video_checks.hpp"

#include "tests/support/desktop/test_desktop.hpp"

#include <algorithm>
#include <fstream>
#include <iterator>
#include <sstream>

namespace e2e_recorder {

namespace {

using namespace std::chrono_literals;

struct ToolOutput {
    int status = -1;
    std::string output, errors;
};

ToolOutput runTool(const std::vector<std::string>& argv) {
    auto tool = testsupport::ChildProcess::spawn(argv);
    tool->closeStdin();
    ToolOutput result;
    result.status = tool->waitForExit(300s).value_or(-1);
    result.output = tool->stdoutSoFar();
    result.errors = tool->stderrSoFar();
    return result;
}

}  // namespace

bool decodesWithoutErrors(const std::string& path, std::string* errors) {
    auto decode = runTool({"ffmpeg", "-nostdin", "-v", "error", "-i", path, "-fps_mode", "passthrough",
                           "-enc_time_base", "-1", "-f", "null", "-"});
    if (errors) *errors = decode.errors;
    return decode.status == 0 && decode.errors.empty();
}

std::vector<double> videoPacketTimes(const std::string& path) {
    auto probe = runTool({"ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries", "packet=pts_time", "-of",
                          "csv=p=0", path});
    std::vector<double> times;
    if (probe.status != 0) return times;
    std::istringstream lines(probe.output);
    lines.imbue(std::locale::classic());
    double time = 0;
    while (lines >> time) times.push_back(time);
    return times;
}

double longestGap(const std::vector<double>& times) {
    double longest = 0;
    for (size_t i = 1; i < times.size(); ++i) longest = std::max(longest, times[i] - times[i - 1]);
    return longest;
}

double shareOfGapsWithin(const std::vector<double>& times, double seconds) {
    if (times.size() < 2) return 0;
    size_t within = 0;
    for (size_t i = 1; i < times.size(); ++i)
        if (times[i] - times[i - 1] <= seconds) ++within;
    return static_cast<double>(within) / static_cast<double>(times.size() - 1);
}

std::optional<ColourTags> streamColourTags(const std::string& path) {
    auto probe = runTool({"ffprobe", "-v", "error", "-select_streams", "v:0", "-read_intervals", "%+#1", "-show_entries",
                          "frame=color_primaries,color_transfer,color_space", "-of", "default=noprint_wrappers=1", path});
    if (probe.status != 0) return std::nullopt;
    ColourTags tags;
    std::istringstream lines(probe.output);
    for (std::string line; std::getline(lines, line);) {
        auto equals = line.find('=');
        if (equals == std::string::npos) continue;
        const std::string name = line.substr(0, equals), value = line.substr(equals + 1);
        if (name == "color_primaries") tags.primaries = value;
        else if (name == "color_transfer") tags.transfer = value;
        else if (name == "color_space") tags.matrix = value;
    }
    return tags;
}

std::optional<std::array<int, 3>> containerColourCodes(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    for (const char* kind : {"colrnclx", "colrnclc"}) {
        const auto at = bytes.find(kind);
        if (at == std::string::npos || at + 14 > bytes.size()) continue;
        auto code = [&](size_t offset) {
            return static_cast<int>(static_cast<unsigned char>(bytes[at + offset])) << 8 |
                   static_cast<unsigned char>(bytes[at + offset + 1]);
        };
        return std::array<int, 3>{code(8), code(10), code(12)};
    }
    return std::nullopt;
}

}  // namespace e2e_recorder
