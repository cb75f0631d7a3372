// Prints what one X11 capture stream costs at 60 frames per second: CPU of this process and of
// the X server, and per complete frame the time of the SHM grab, the conversion and the hiding of
// excluded windows. NV12 frames are grabbed whole, as the recorder does, or made from what changed
// ("from changes"; partial: how many were); BGRA frames are grabbed whole. Each scenario runs on a
// fresh private desktop.
//
//   x11_capture_bench [seconds per scenario, default 5] [screen size, default 1920x1080]

#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "recorder/platform/linux/x11/frame_grabber.hpp"
#include "recorder/platform/linux/x11/x11_capture_service.hpp"
#include "tests/support/desktop/test_desktop.hpp"
#include "tests/support/desktop/test_programs.hpp"

namespace {

using namespace std::chrono_literals;
using recorder::platform::kPixelFormat420v;
using recorder::platform::kPixelFormatBGRA;

// CPU seconds of the X server this program started (a child named Xvfb): the grab itself is
// the server's copy into shared memory, so its cost shows there.
double serverCpuSeconds() {
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        std::ifstream stat(entry.path() / "stat");
        std::string line;
        if (!std::getline(stat, line)) continue;
        const auto close = line.rfind(')');
        if (close == std::string::npos || line.find("(Xvfb)") == std::string::npos) continue;
        std::istringstream fields(line.substr(close + 2));
        std::string state;
        long parent = 0;
        fields >> state >> parent;
        if (parent != ::getpid()) continue;
        std::string skip;
        for (int i = 0; i < 9; ++i) fields >> skip;  // pgrp .. cmajflt
        double user = 0, system = 0;
        fields >> user >> system;
        return (user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
    }
    return 0;
}

double processCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6;
}

std::string loadAverage() {
    std::ifstream file("/proc/loadavg");
    std::string one, five, fifteen;
    file >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

struct Scenario {
    const char* name;
    uint32_t pixelFormat;
    bool movingPicture;
    bool excludeAWindow;
    bool showBeneath = true;
    bool fromChanges = false;
};

void run(const Scenario& scenario, double seconds, int screenWidth, int screenHeight) {
    auto desktop = testsupport::TestDesktop::start({.screenWidth = screenWidth, .screenHeight = screenHeight});
    ::setenv("DISPLAY", desktop->display().c_str(), 1);
    std::unique_ptr<testsupport::ChildProcess> moving, excluded;
    if (scenario.movingPicture) {
        moving = testsupport::ChildProcess::spawn({testsupport::testProgramPath("moving-picture"), "--width", "1280",
                                                   "--height", "720", "--x", "0", "--y", "0"},
                                                  desktop->environment());
        moving->readStdoutLine(10s);
    }
    if (scenario.excludeAWindow) {
        excluded = testsupport::ChildProcess::spawn({testsupport::testProgramPath("test-window"), "--x", "400", "--y",
                                                     "300", "--width", "600", "--height", "400"},
                                                    desktop->environment());
        excluded->readStdoutLine(10s);
    }
    auto service = recorder::linux_backend::makeX11CaptureService();
    recorder::platform::ContentFilter filter;
    filter.display = service->shareableContent(false, true).value().displays.at(0);
    if (excluded) filter.excludedApplications.push_back({excluded->pid()});
    recorder::linux_backend::x11::FrameGrabberOptions options;
    options.frameInterval = common::MediaTime::make(1, 60);
    options.queueDepth = 6;
    options.pixelFormat = scenario.pixelFormat;
    options.showBeneathExcluded = scenario.showBeneath;
    options.framesFromChanges = scenario.fromChanges;

    auto connection = recorder::linux_backend::x11::X11Connection::open();
    if (!connection) {
        std::printf("%-40s cannot connect: %s\n", scenario.name, connection.error().message.c_str());
        return;
    }
    auto target = recorder::linux_backend::x11::grabTargetFor(filter, connection.value()->screenWidth(),
                                                               connection.value()->screenHeight());
    const double cpuBefore = processCpuSeconds();
    const double serverBefore = serverCpuSeconds();
    const auto wallBefore = std::chrono::steady_clock::now();
    // Frames are dropped at once, as a consumer that keeps up would release them.
    auto grabber = recorder::linux_backend::x11::FrameGrabber::start(
        std::move(connection).value(), std::move(target).value(), options,
        [](std::shared_ptr<recorder::platform::SampleBuffer>) {}, [](const common::Error&) {});
    if (!grabber) {
        std::printf("%-40s cannot start: %s\n", scenario.name, grabber.error().message.c_str());
        return;
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    const auto statistics = grabber.value()->statistics();
    grabber.value()->stop();
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallBefore).count();
    const double cpu = processCpuSeconds() - cpuBefore;
    const double serverCpu = serverCpuSeconds() - serverBefore;
    const double complete = static_cast<double>(statistics.completeFrames);
    auto perFrame = [&](int64_t nanoseconds) { return complete > 0 ? nanoseconds / complete / 1e6 : 0.0; };
    std::printf("%-40s %6.1f fps  %5.1f idle/s  %4llu skipped  cpu %.3f + X server %.3f cores  grab %.2f ms  convert %.2f ms  "
                "exclude %.3f ms (%llu refreshes)  partial %llu\n",
                scenario.name, complete / wall, statistics.idleFrames / wall,
                static_cast<unsigned long long>(statistics.skippedFrames), cpu / wall, serverCpu / wall,
                perFrame(statistics.grabNanoseconds), perFrame(statistics.conversionNanoseconds),
                perFrame(statistics.exclusionNanoseconds),
                static_cast<unsigned long long>(statistics.exclusionRefreshes),
                static_cast<unsigned long long>(statistics.partialFrames));
}

}  // namespace

// What one shareable-content query costs (the window tracker asks twice a second).
void timeShareableContent() {
    auto desktop = testsupport::TestDesktop::start();
    ::setenv("DISPLAY", desktop->display().c_str(), 1);
    std::vector<std::unique_ptr<testsupport::ChildProcess>> windows;
    for (int i = 0; i < 10; ++i) {
        windows.push_back(testsupport::ChildProcess::spawn(
            {testsupport::testProgramPath("test-window"), "--x", std::to_string(50 * i), "--y", std::to_string(40 * i)},
            desktop->environment()));
        windows.back()->readStdoutLine(10s);
    }
    auto service = recorder::linux_backend::makeX11CaptureService();
    service->shareableContent(false, true);  // connects and fills the process cache
    constexpr int kQueries = 200;
    const double cpuBefore = processCpuSeconds();
    const auto before = std::chrono::steady_clock::now();
    size_t listed = 0;
    for (int i = 0; i < kQueries; ++i) listed = service->shareableContent(false, true).value().windows.size();
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - before).count();
    std::printf("shareable content with %zu windows: %.3f ms per query (%.3f ms CPU here)\n", listed,
                wall / kQueries * 1e3, (processCpuSeconds() - cpuBefore) / kQueries * 1e3);
}

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 5.0;
    int width = 1920, height = 1080;
    if (argc > 2 && std::sscanf(argv[2], "%dx%d", &width, &height) != 2) {
        std::fprintf(stderr, "usage: x11_capture_bench [seconds] [WxH]\n");
        return 2;
    }
    std::printf("%dx%d at 60 fps, %.0f s per scenario; times are per complete frame; load average %s\n", width,
                height, seconds, loadAverage().c_str());
    const Scenario scenarios[] = {
        {"static screen, NV12", kPixelFormat420v, false, false},
        {"static screen, NV12 from changes", kPixelFormat420v, false, false, true, true},
        {"1280x720 moving, BGRA", kPixelFormatBGRA, true, false},
        {"1280x720 moving, NV12", kPixelFormat420v, true, false},
        {"1280x720 moving, NV12 from changes", kPixelFormat420v, true, false, true, true},
        {"1280x720 moving, BGRA, 1 excluded, fill", kPixelFormatBGRA, true, true, false},
        {"1280x720 moving, BGRA, 1 excluded, beneath", kPixelFormatBGRA, true, true, true},
    };
    for (const auto& scenario : scenarios) run(scenario, seconds, width, height);
    timeShareableContent();
    return 0;
}
