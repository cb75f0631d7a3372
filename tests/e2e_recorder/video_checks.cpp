#include "tests/e2e_recorder/video_checks.hpp"

#include "tests/support/desktop/test_desktop.hpp"

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

double shareOfGapsWithin(const std::vector<double>& times, double seconds) {
    if (times.size() < 2) return 0;
    size_t within = 0;
    for (size_t i = 1; i < times.size(); ++i)
        if (times[i] - times[i - 1] <= seconds) ++within;
    return static_cast<double>(within) / static_cast<double>(times.size() - 1);
}

}  // namespace e2e_recorder
