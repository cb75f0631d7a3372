// recorder_bench: recorder-agent against ffmpeg's x11grab with the same encoder settings, recording
// the same headless 1920x1080 desktop. Prints, for each scenario and each program: frames written,
// CPU seconds of the recording process, peak memory, and the time from the stop request to exit.
//
//   recorder_bench [--seconds N (10)] [--size WxH (1920x1080)] [--scenario NAME-PART]
//                  [--presets P1,P2 (ultrafast,veryfast)]
//
// The X server's CPU during each recording is printed too (x_cpu_s): copying the screen for a
// grabber is work the user pays for as well.
//
// Both programs run one after the other on the same desktop with the same moving content. The test
// machines are shared: compare the two lines of one run, and note the load printed at the top.

#include "bench/recorder/measured_process.hpp"
#include "tests/support/desktop/media_probe.hpp"
#include "tests/support/desktop/test_desktop.hpp"
#include "tests/support/desktop/test_programs.hpp"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <algorithm>
#include <iostream>
#include <map>
#include <sstream>
#include <thread>

namespace recorder_bench {
namespace {

using namespace std::chrono_literals;

int screenWidth = 1920, screenHeight = 1080;
constexpr auto startTimeout = 30s;

struct Scenario {
    std::string name;
    std::vector<std::string> client;  // the program that makes the screen move; empty for a static screen
};

struct RunFigures {
    bool ok = false;
    std::string problem;
    int64_t frames = 0;
    int64_t repeated = 0;  // frames the writer repeated to keep a constant rate (ffmpeg only)
    double fileSeconds = 0;
    double recordingSeconds = 0;  // from the start being seen to the stop request
    std::string threads;          // CPU by thread just before the stop (recorder-agent only)
    std::string memory;           // resident memory by kind just before the stop (recorder-agent only)
    ProcessUsage usage;
    double stopToExitMs = 0;
    double xServerCpuSeconds = 0;  // from the program's start to its exit
    double fileMegabytes = 0;
};

std::string fileText(const std::string& path) {
    std::ifstream file(path);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// CPU seconds (user + system) of a /proc stat line: "pid (comm) state ppid ...", utime is field
// 14 and stime 15; comm may hold spaces, so fields are counted from the last ')'.
double cpuSecondsOfStat(const std::string& stat) {
    const auto close = stat.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    double utime = 0, stime = 0;
    for (int index = 3; fields >> field; ++index) {
        if (index == 14) utime = std::stod(field);
        if (index == 15) {
            stime = std::stod(field);
            break;
        }
    }
    return (utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// CPU seconds so far of a running process (all its threads), from /proc.
double processCpuSeconds(int pid) { return cpuSecondsOfStat(fileText("/proc/" + std::to_string(pid) + "/stat")); }

// Resident memory of a running process by kind, e.g. "RssAnon 80 MB, RssShmem 33 MB": heap and
// thread stacks, mapped files (libraries), shared memory (the grab segment).
std::string residentMemoryByKind(int pid) {
    std::istringstream status(fileText("/proc/" + std::to_string(pid) + "/status"));
    std::ostringstream text;
    for (std::string line; std::getline(status, line);) {
        for (const char* key : {"VmHWM:", "RssAnon:", "RssFile:", "RssShmem:"}) {
            if (line.rfind(key, 0) != 0) continue;
            std::istringstream value(line.substr(std::strlen(key)));
            double kilobytes = 0;
            value >> kilobytes;
            text << (text.tellp() > 0 ? ", " : "") << std::string(key, std::strlen(key) - 1) << " "
                 << static_cast<int>(kilobytes / 1024) << " MB";
        }
    }
    return text.str();
}

// CPU seconds so far of the busiest threads of a running process, e.g. "commands/812 2.10,
// capture/815 0.80". Tells where a recorder's time goes (threads inherit their creator's name).
std::string cpuOfBusiestThreads(pid_t pid) {
    constexpr size_t shown = 6;
    std::map<std::string, double> seconds;
    const auto tasks = std::filesystem::path("/proc") / std::to_string(pid) / "task";
    std::error_code error;
    for (const auto& task : std::filesystem::directory_iterator(tasks, error)) {
        const std::string stat = fileText((task.path() / "stat").string());
        const auto open = stat.find('('), close = stat.rfind(')');
        if (open == std::string::npos || close == std::string::npos) continue;
        seconds[stat.substr(open + 1, close - open - 1) + "/" + task.path().filename().string()] = cpuSecondsOfStat(stat);
    }
    std::vector<std::pair<double, std::string>> ordered;
    for (const auto& [name, value] : seconds) ordered.emplace_back(value, name);
    std::sort(ordered.rbegin(), ordered.rend());
    std::ostringstream text;
    text.precision(2);
    text << std::fixed;
    if (ordered.size() > shown) ordered.resize(shown);
    for (const auto& [value, name] : ordered) text << (text.tellp() > 0 ? ", " : "") << name << " " << value;
    return text.str();
}

void addFileFigures(RunFigures& figures, const std::string& path) {
    auto info = testsupport::probeMedia(path);
    const auto* video = info ? info->firstOfType("video") : nullptr;
    if (!video) {
        figures.ok = false;
        figures.problem = "ffprobe cannot read " + path;
        return;
    }
    figures.frames = video->frameCount;
    std::error_code error;
    figures.fileMegabytes = static_cast<double>(std::filesystem::file_size(path, error)) / 1e6;
    figures.fileSeconds = video->duration;
}

RunFigures runRecorderAgent(const testsupport::TestDesktop& desktop, const std::filesystem::path& directory,
                            const std::string& tag, std::chrono::seconds length) {
    RunFigures figures;
    const double xServerBefore = processCpuSeconds(desktop.xServerPid());
    const auto output = (directory / ("recorder-agent-" + tag + ".mp4")).string();
    const auto errors = (directory / ("recorder-agent-" + tag + ".err")).string();
    MeasuredProcess agent({testsupport::testProgramPath("recorder-agent"), R"({"outputPath":")" + output + R"("})"},
                          desktop.environment(), errors);
    auto started = agent.readLine(startTimeout);
    if (started != "Recording started") {
        agent.write("stop\n");
        figures.usage = agent.wait();
        figures.problem = "no \"Recording started\": " + started.value_or("(nothing)") + " " + fileText(errors);
        return figures;
    }
    const auto startedAt = Clock::now();
    std::this_thread::sleep_for(length);
    figures.threads = cpuOfBusiestThreads(agent.pid());
    figures.memory = residentMemoryByKind(agent.pid());
    const auto stopAt = Clock::now();
    figures.recordingSeconds = std::chrono::duration<double>(stopAt - startedAt).count();
    agent.write("stop\n");
    auto stopped = agent.readLine(60s);
    figures.usage = agent.wait();
    figures.stopToExitMs = std::chrono::duration<double, std::milli>(figures.usage.endedAt - stopAt).count();
    figures.xServerCpuSeconds = processCpuSeconds(desktop.xServerPid()) - xServerBefore;
    figures.ok = figures.usage.status == 0 && stopped == "Recording stopped. Output path: " + output;
    if (!figures.ok) figures.problem = "stop failed: " + stopped.value_or("(nothing)") + " " + fileText(errors);
    addFileFigures(figures, output);
    return figures;
}

// ffmpeg's x11grab with libx264 at one of its presets (its own defaults otherwise, as people run
// it), yuv420p. Frames keep their capture times (as recorder-agent's do): re-timing to a constant
// rate would repeat and drop frames on a busy machine and hide how many were really grabbed.
RunFigures runFfmpeg(const testsupport::TestDesktop& desktop, const std::filesystem::path& directory,
                     const std::string& tag, std::chrono::seconds length, const std::string& preset) {
    RunFigures figures;
    const double xServerBefore = processCpuSeconds(desktop.xServerPid());
    const auto output = (directory / ("ffmpeg-" + preset + "-" + tag + ".mp4")).string();
    const auto errors = (directory / ("ffmpeg-" + tag + ".err")).string();
    const std::string size = std::to_string(screenWidth) + "x" + std::to_string(screenHeight);
    MeasuredProcess ffmpeg({"ffmpeg", "-hide_banner", "-loglevel", "error", "-nostats", "-progress", "pipe:1",
                            "-stats_period", "0.1", "-f", "x11grab", "-framerate", "60", "-draw_mouse", "0",
                            "-video_size", size, "-i", desktop.display() + "+0,0", "-c:v", "libx264", "-preset",
                            preset, "-pix_fmt", "yuv420p", "-fps_mode", "passthrough", output},
                           desktop.environment(), errors);
    // The first progress report with a frame in it: ffmpeg is recording.
    const auto deadline = Clock::now() + startTimeout;
    bool recording = false;
    while (!recording && Clock::now() < deadline) {
        auto line = ffmpeg.readLine(startTimeout);
        if (!line) break;
        recording = line->rfind("frame=", 0) == 0 && *line != "frame=0";
    }
    if (!recording) {
        ffmpeg.write("q");
        figures.usage = ffmpeg.wait();
        figures.problem = "ffmpeg did not start recording: " + fileText(errors);
        return figures;
    }
    // Keep reading the progress reports so the pipe never fills; the last one counts the repeats.
    const auto startedAt = Clock::now();
    const auto stopAt = startedAt + length;
    auto remember = [&figures](const std::string& line) {
        if (line.rfind("dup_frames=", 0) == 0) figures.repeated = std::stoll(line.substr(11));
    };
    while (Clock::now() < stopAt)
        if (auto line = ffmpeg.readLine(std::chrono::duration_cast<std::chrono::milliseconds>(stopAt - Clock::now())))
            remember(*line);
    const auto quitAt = Clock::now();
    figures.recordingSeconds = std::chrono::duration<double>(quitAt - startedAt).count();
    ffmpeg.write("q");
    while (auto line = ffmpeg.readLine(60s)) remember(*line);
    figures.usage = ffmpeg.wait();
    figures.stopToExitMs = std::chrono::duration<double, std::milli>(figures.usage.endedAt - quitAt).count();
    figures.xServerCpuSeconds = processCpuSeconds(desktop.xServerPid()) - xServerBefore;
    figures.ok = figures.usage.status == 0;
    if (!figures.ok) figures.problem = "ffmpeg failed: " + fileText(errors);
    addFileFigures(figures, output);
    return figures;
}

void printRow(const std::string& scenario, const std::string& program, const RunFigures& f) {
    if (!f.ok) {
        std::printf("%-24s %-18s FAILED: %s\n", scenario.c_str(), program.c_str(), f.problem.c_str());
        return;
    }
    // Distinct pictures per second of recording: repeated frames show nothing new.
    const int64_t distinct = f.frames - f.repeated;
    const double fps = f.recordingSeconds > 0 ? static_cast<double>(distinct) / f.recordingSeconds : 0;
    const double cores = f.recordingSeconds > 0 ? f.usage.cpuSeconds / f.recordingSeconds : 0;
    const double msPerFrame = f.frames > 0 ? 1000 * f.usage.cpuSeconds / static_cast<double>(f.frames) : 0;
    std::printf("%-24s %-18s %8.2f %7.2f %7lld %7lld %7.1f %8.2f %6.2f %8.1f %8.2f %8.0f %8.0f %8.3f\n",
                scenario.c_str(), program.c_str(), f.recordingSeconds, f.fileSeconds, static_cast<long long>(f.frames),
                static_cast<long long>(f.repeated), fps, f.usage.cpuSeconds, cores, msPerFrame, f.xServerCpuSeconds,
                f.usage.peakMemoryMb, f.stopToExitMs, f.fileMegabytes / std::max(f.recordingSeconds, 0.001));
}

int run(int argc, char** argv) {
    std::chrono::seconds length = 10s;
    std::string scenarioFilter;
    std::vector<std::string> presets{"ultrafast", "veryfast"};
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        if (option == "--seconds" && i + 1 < argc) length = std::chrono::seconds(std::atoi(argv[++i]));
        else if (option == "--size" && i + 1 < argc && std::sscanf(argv[++i], "%dx%d", &screenWidth, &screenHeight) == 2) {
        } else if (option == "--scenario" && i + 1 < argc) scenarioFilter = argv[++i];
        else if (option == "--presets" && i + 1 < argc) {
            presets.clear();
            std::istringstream list(argv[++i]);
            for (std::string preset; std::getline(list, preset, ',');) presets.push_back(preset);
        } else {
            std::cerr << "usage: recorder_bench [--seconds N] [--size WxH] [--scenario NAME-PART] [--presets P1,P2]\n";
            return 2;
        }
    }
    const auto directory = std::filesystem::temp_directory_path() / ("recorder-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(directory);

    const std::vector<Scenario> scenarios{
        {"1280x720 moving", {testsupport::testProgramPath("moving-picture"), "--width", "1280", "--height", "720", "--x",
                             "100", "--y", "100"}},
        {"whole screen scrolling", {SCROLLING_PICTURE_PATH, "--width", std::to_string(screenWidth), "--height",
                                    std::to_string(screenHeight)}},
        {"static screen", {}},
    };

    std::printf("load average before: %s (%u cores); screen %dx%d\n", loadAverage().c_str(),
                std::thread::hardware_concurrency(), screenWidth, screenHeight);
    // recorded: seconds from the start being seen to the stop request; file: the video's duration;
    // repeats: frames written again to keep a constant rate; fps: new pictures per recorded second;
    // cores: CPU seconds (whole process life) per recorded second; cpu_ms/f: CPU per frame written,
    // the fairer comparison when the machine is too busy for either to keep 60 fps; x_cpu_s: the X
    // server's CPU seconds meanwhile; stop_ms: stop request to exit; MB/s: file bytes per second.
    std::printf("%-24s %-18s %8s %7s %7s %7s %7s %8s %6s %8s %8s %8s %8s %8s\n", "scenario", "program", "recorded",
                "file", "frames", "repeats", "fps", "cpu_s", "cores", "cpu_ms/f", "x_cpu_s", "peak_MB", "stop_ms",
                "MB/s");
    for (const auto& scenario : scenarios) {
        if (scenario.name.find(scenarioFilter) == std::string::npos) continue;
        // A fresh desktop per scenario, without a window manager: nothing moves but the content.
        auto desktop = testsupport::TestDesktop::start({.screenWidth = screenWidth,
                                                        .screenHeight = screenHeight,
                                                        .windowManager = false});
        std::unique_ptr<testsupport::ChildProcess> client;
        if (!scenario.client.empty()) {
            client = testsupport::ChildProcess::spawn(scenario.client, desktop->environment());
            auto ready = client->readStdoutLine(startTimeout);
            if (!ready || ready->rfind("READY", 0) != 0) {
                std::printf("%-24s cannot start its content: %s\n", scenario.name.c_str(), client->stderrSoFar().c_str());
                continue;
            }
        }
        std::string tag = scenario.name;
        for (char& c : tag)
            if (c == ' ') c = '-';
        auto ours = runRecorderAgent(*desktop, directory, tag, length);
        printRow(scenario.name, "recorder-agent", ours);
        if (!ours.threads.empty()) std::printf("%-24s recorder-agent busiest threads (cpu_s): %s\n", "", ours.threads.c_str());
        if (!ours.memory.empty()) std::printf("%-24s recorder-agent memory before the stop: %s\n", "", ours.memory.c_str());
        std::fflush(stdout);
        for (const auto& preset : presets) {
            auto theirs = runFfmpeg(*desktop, directory, tag, length, preset);
            printRow("", "ffmpeg " + preset, theirs);
            if (ours.ok && theirs.ok && theirs.usage.cpuSeconds > 0)
                std::printf("%-24s %-18s cpu ratio %.2f, peak memory ratio %.2f\n", "", "",
                            ours.usage.cpuSeconds / theirs.usage.cpuSeconds,
                            ours.usage.peakMemoryMb / theirs.usage.peakMemoryMb);
            std::fflush(stdout);
        }
    }
    std::printf("load average after: %s\n", loadAverage().c_str());
    if (!std::getenv("RECORDER_BENCH_KEEP_FILES")) std::filesystem::remove_all(directory);
    else std::printf("files kept in %s\n", directory.c_str());
    return 0;
}

}  // namespace
}  // namespace recorder_bench

int main(int argc, char** argv) { return recorder_bench::run(argc, argv); }
