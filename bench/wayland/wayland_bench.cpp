// wayland_bench: recorder-agent recording a headless Wayland desktop (sway, the screencast portal,
// PipeWire) with full-screen motion, beside recorder-agent recording an X11 desktop of the same size
// with full-screen motion, in the same run. Prints for each: frames kept and per second, the
// recorder's CPU (in all and per frame) and peak memory, and the CPU of the capture side (on
// Wayland the compositor, the portal backend, PipeWire and its session manager; on X11 the X
// server), and of the program making the motion.
//
//   wayland_bench [--seconds N (10)] [--size WxH (1920x1080)]
//
// The machines are shared: compare the lines of one run, and note the load printed at the top.

#include "bench/recorder/measured_process.hpp"
#include "tests/support/desktop/media_probe.hpp"
#include "tests/support/desktop/test_desktop.hpp"
#include "tests/support/desktop/test_programs.hpp"
#include "tests/support/desktop/wayland_desktop.hpp"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <sstream>
#include <thread>

namespace recorder_bench {
namespace {

using namespace std::chrono_literals;

struct ScreenSize {
    int width = 1920, height = 1080;
};
constexpr auto startTimeout = 30s;

// The processes besides the recorder whose CPU a recording costs, by name.
using Parts = std::map<std::string, int>;

struct Figures {
    std::string problem = {};  // empty when the run worked
    int64_t frames = 0;
    double recordedSeconds = 0;  // from "Recording started" to "stop"
    double recorderCpu = 0;      // the recorder's whole life
    double recorderPeakMb = 0;
    std::map<std::string, double> partsCpu = {};  // during the recording only
};

std::string fileText(const std::string& path) {
    std::ifstream file(path);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

std::map<std::string, double> cpuOf(const Parts& parts) {
    std::map<std::string, double> seconds;
    for (const auto& [name, pid] : parts) seconds[name] = cpuSecondsSoFar(pid).value_or(0);
    return seconds;
}

// Records for `length` with the recorder started as `argv` in `environment`.
Figures record(const std::vector<std::string>& argv, const std::map<std::string, std::string>& environment,
               const std::string& output, const std::string& errors, const Parts& parts, std::chrono::seconds length,
               ScreenSize screen) {
    Figures figures;
    MeasuredProcess agent(argv, environment, errors);
    if (auto started = agent.readLine(startTimeout); started != "Recording started") {
        agent.write("stop\n");
        agent.wait();
        figures.problem = "no \"Recording started\": " + started.value_or("(nothing)") + " " + fileText(errors);
        return figures;
    }
    const auto before = cpuOf(parts);
    const auto startedAt = Clock::now();
    std::this_thread::sleep_for(length);
    const auto after = cpuOf(parts);
    figures.recordedSeconds = std::chrono::duration<double>(Clock::now() - startedAt).count();
    agent.write("stop\n");
    const auto stopped = agent.readLine(60s);
    const auto usage = agent.wait();
    figures.recorderCpu = usage.cpuSeconds;
    figures.recorderPeakMb = usage.peakMemoryMb;
    for (const auto& [name, seconds] : after) figures.partsCpu[name] = seconds - before.at(name);
    if (usage.status != 0 || stopped != "Recording stopped. Output path: " + output) {
        figures.problem = "stop failed: " + stopped.value_or("(nothing)") + " " + fileText(errors);
        return figures;
    }
    const auto info = testsupport::probeMedia(output);
    const auto* video = info ? info->firstOfType("video") : nullptr;
    if (!video) figures.problem = "ffprobe cannot read " + output;
    else if (video->width != screen.width || video->height != screen.height)
        figures.problem = "recorded " + std::to_string(video->width) + "x" + std::to_string(video->height);
    else figures.frames = video->frameCount;
    return figures;
}

void print(const std::string& path, const Figures& f, const std::vector<std::string>& captureSide) {
    if (!f.problem.empty()) {
        std::printf("%-8s FAILED: %s\n", path.c_str(), f.problem.c_str());
        return;
    }
    const double seconds = f.recordedSeconds;
    double capture = 0;
    std::ostringstream parts;
    parts.precision(1);
    parts << std::fixed;
    for (const auto& [name, cpu] : f.partsCpu) {
        const bool counted = std::find(captureSide.begin(), captureSide.end(), name) != captureSide.end();
        if (counted) capture += cpu;
        parts << "  " << name << (counted ? "" : " (content)") << " " << 100 * cpu / seconds << "%";
    }
    std::printf("%-8s %8.2f %7lld %7.1f %8.2f %7.1f %9.2f %8.0f %11.1f\n", path.c_str(), seconds,
                static_cast<long long>(f.frames), static_cast<double>(f.frames) / seconds, f.recorderCpu,
                100 * f.recorderCpu / seconds, f.frames ? 1000 * f.recorderCpu / static_cast<double>(f.frames) : 0.0,
                f.recorderPeakMb,
                100 * capture / seconds);
    std::printf("%-8s %s\n", "", parts.str().c_str());
}

// Starts `argv` through `spawn` and waits for its "READY" line; none when it does not come.
std::unique_ptr<testsupport::ChildProcess> startContent(
    const std::function<std::unique_ptr<testsupport::ChildProcess>()>& spawn) {
    auto content = spawn();
    auto ready = content->readStdoutLine(startTimeout);
    if (!ready || ready->rfind("READY", 0) != 0) {
        std::printf("the moving content did not start: %s\n", content->stderrSoFar().c_str());
        return nullptr;
    }
    return content;
}

Figures recordWayland(const std::filesystem::path& directory, std::chrono::seconds length, ScreenSize screen) {
    auto desktop = testsupport::WaylandDesktop::start({.width = screen.width, .height = screen.height});
    const auto files = desktop->makeDirectory("bench");
    const std::string animator = desktop->reachableCopy(testsupport::testProgramPath("wayland-animator"));
    auto content = startContent([&] { return desktop->spawn({animator}); });
    if (!content) return {.problem = "no moving content"};
    auto parts = desktop->processIds();
    parts["wayland-animator"] = content->pid();
    const auto output = (files / "wayland.mp4").string();
    const auto agent = desktop->reachableCopy(testsupport::testProgramPath("recorder-agent"));
    auto argv = testsupport::commandAsUser(desktop->user(), {agent, R"({"outputPath":")" + output + R"("})"});
    auto figures =
        record(argv, desktop->environment(), output, (directory / "wayland.err").string(), parts, length, screen);
    return figures;
}

Figures recordX11(const std::filesystem::path& directory, std::chrono::seconds length, ScreenSize screen) {
    auto desktop = testsupport::TestDesktop::start({.screenWidth = screen.width, .screenHeight = screen.height,
                                                    .windowManager = false});
    auto content = startContent([&] {
        return testsupport::ChildProcess::spawn(
            {SCROLLING_PICTURE_PATH, "--width", std::to_string(screen.width), "--height", std::to_string(screen.height)},
            desktop->environment());
    });
    if (!content) return {.problem = "no moving content"};
    const Parts parts{{"Xvfb", desktop->xServerPid()}, {"scrolling-picture", content->pid()}};
    const auto output = (directory / "x11.mp4").string();
    return record({testsupport::testProgramPath("recorder-agent"), R"({"outputPath":")" + output + R"("})"},
                  desktop->environment(), output, (directory / "x11.err").string(), parts, length, screen);
}

int run(int argc, char** argv) {
    std::chrono::seconds length = 10s;
    ScreenSize screen;
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        if (option == "--seconds" && i + 1 < argc) length = std::chrono::seconds(std::atoi(argv[++i]));
        else if (option == "--size" && i + 1 < argc &&
                 std::sscanf(argv[++i], "%dx%d", &screen.width, &screen.height) == 2)
            continue;
        else {
            std::cerr << "usage: wayland_bench [--seconds N] [--size WxH]\n";
            return 2;
        }
    }
    const auto directory = std::filesystem::temp_directory_path() / ("wayland-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(directory);

    std::printf("load average before: %s (%u cores); screen %dx%d\n", loadAverage().c_str(),
                std::thread::hardware_concurrency(), screen.width, screen.height);
    // recorded: seconds from "Recording started" to "stop"; frames: frames in the file; fps: frames
    // per recorded second; rec_cpu_s / rec_%: the recorder's CPU seconds over its whole life and per
    // recorded second; ms/frame: the recorder's CPU per frame kept; peak_MB: the recorder's peak
    // resident memory; capture_%: CPU of the capture side per recorded second (one core = 100%),
    // broken down on the next line.
    std::printf("%-8s %8s %7s %7s %8s %7s %9s %8s %11s\n", "path", "recorded", "frames", "fps", "rec_cpu_s", "rec_%",
                "ms/frame", "peak_MB", "capture_%");
    const auto wayland = recordWayland(directory, length, screen);
    print("wayland", wayland, {"compositor", "portal backend", "pipewire", "wireplumber", "portal", "bus"});
    std::fflush(stdout);
    const auto x11 = recordX11(directory, length, screen);
    print("x11", x11, {"Xvfb"});
    if (wayland.problem.empty() && x11.problem.empty() && wayland.frames > 0 && x11.frames > 0)
        std::printf("recorder CPU per frame, Wayland / X11: %.2f\n",
                    (wayland.recorderCpu / static_cast<double>(wayland.frames)) /
                        (x11.recorderCpu / static_cast<double>(x11.frames)));
    std::printf("load average after: %s\n", loadAverage().c_str());
    if (!std::getenv("RECORDER_BENCH_KEEP_FILES")) std::filesystem::remove_all(directory);
    else std::printf("files kept in %s\n", directory.c_str());
    return 0;
}

}  // namespace
}  // namespace recorder_bench

int main(int argc, char** argv) { return recorder_bench::run(argc, argv); }
