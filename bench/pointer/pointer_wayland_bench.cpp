// pointer-agent's cost on a Wayland desktop, and the delay of its click lines.
//
// Prints:
//   - CPU use (share of one core, summed over threads) of pointer-agent over 20 s with the pointer
//     still, and over 20 s with a virtual pointer moving every 50 ms across zones that show
//     different cursors, on a private headless mutter; the compositor's and PipeWire's CPU in the
//     same spans, with and without the agent's cursor screen cast, side by side;
//   - the delay from a button event written to an input-device stream (a pipe standing in for the
//     device) to its line, through the same reader, tap and poller the agent uses.

#include <fcntl.h>
#include <linux/input.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "bench/pointer/process_cpu.hpp"
#include "common/output_lines.hpp"
#include "pointer/input/button_poll.hpp"
#include "pointer/input/button_tap.hpp"
#include "pointer/platform/linux/evdev_button_events.hpp"
#include "tests/pointer_e2e/virtual_pointer.hpp"
#include "tests/support/desktop/test_programs.hpp"
#include "tests/support/desktop/wayland_desktop.hpp"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using pointer::platform::linux_evdev::EvdevButtonEvents;
using pointer::platform::linux_evdev::OwnedFd;

constexpr auto kSpan = 20s;
constexpr int kClicks = 200;
using pointer_bench::cpuNanoseconds;

// Nanoseconds the process has run, counting threads that have ended (the compositor's come and go),
// to the 10 ms of a clock tick.
uint64_t cpuNanosecondsWithEndedThreads(int pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    const auto afterName = text.rfind(')');
    if (afterName == std::string::npos) return 0;
    std::istringstream fields(text.substr(afterName + 2));
    std::string field;
    uint64_t user = 0, system = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14) user = std::stoull(field);
        if (i == 15) system = std::stoull(field);
    }
    return (user + system) * (1'000'000'000 / uint64_t(sysconf(_SC_CLK_TCK)));
}

// Each process's CPU time while `during` runs, as a share of one core: the first exact over its
// threads (they live as long as it does), the others with ended threads counted.
std::vector<double> coreSharesWhile(const std::vector<int>& pids, const std::function<void()>& during) {
    const auto measure = [&](size_t i) {
        return i == 0 ? cpuNanoseconds(pids[i]) : cpuNanosecondsWithEndedThreads(pids[i]);
    };
    std::vector<uint64_t> before;
    for (size_t i = 0; i < pids.size(); ++i) before.push_back(measure(i));
    const auto start = Clock::now();
    during();
    const double wall = std::chrono::duration<double, std::nano>(Clock::now() - start).count();
    std::vector<double> shares;
    for (size_t i = 0; i < pids.size(); ++i) shares.push_back(double(measure(i) - before[i]) / wall);
    return shares;
}

void cpuFigures() {
    auto desktop = testsupport::WaylandDesktop::start(
        {.compositor = testsupport::Compositor::mutter, .width = 640, .height = 480});
    auto window = pointertest::showCursorZones(*desktop, {"default", "text", "pointer", "crosshair"});
    pointertest::VirtualPointer pointer(*desktop);
    const int mutter = desktop->processIds().at("compositor");
    const int pipewire = desktop->processIds().at("pipewire");
    int step = 0;
    const auto moving = [&] {
        const auto end = Clock::now() + kSpan;
        while (Clock::now() < end) {
            ++step;
            pointer.moveTo(20 + (step * 7) % 600, 200 + step % 80);
            std::this_thread::sleep_for(50ms);
        }
    };
    const auto still = [] { std::this_thread::sleep_for(kSpan); };
    pointer.moveTo(320, 240);

    // The first share is exact only for pointer-agent; without it, the first place is a stand-in.
    const int nobody = getpid();
    auto withoutStill = coreSharesWhile({nobody, mutter, pipewire}, still);
    auto withoutMoving = coreSharesWhile({nobody, mutter, pipewire}, moving);
    withoutStill.erase(withoutStill.begin());
    withoutMoving.erase(withoutMoving.begin());
    auto agent = desktop->spawn({desktop->reachableCopy(testsupport::testProgramPath("pointer-agent"))});
    if (!agent->readStdoutLine(20s)) throw std::runtime_error("pointer-agent printed nothing");
    std::this_thread::sleep_for(2s);  // the screen cast is granted in the background
    const auto withStill = coreSharesWhile({agent->pid(), mutter, pipewire}, still);
    const auto withMoving = coreSharesWhile({agent->pid(), mutter, pipewire}, moving);
    agent->writeStdin("stop\n");
    agent->waitForExit(5s);
    const std::string out = agent->stdoutSoFar();
    const auto lines = std::count(out.begin(), out.end(), '\n');

    std::printf("CPU, share of one core over %lld s (mutter headless, 640x480 virtual monitor):\n",
                static_cast<long long>(kSpan.count()));
    std::printf("  pointer still:  pointer-agent %.3f %%   mutter %.2f %% (without agent %.2f %%)   pipewire %.2f %% "
                "(without %.2f %%)\n",
                100 * withStill[0], 100 * withStill[1], 100 * withoutStill[0], 100 * withStill[2],
                100 * withoutStill[1]);
    std::printf("  pointer moving: pointer-agent %.3f %%   mutter %.2f %% (without agent %.2f %%)   pipewire %.2f %% "
                "(without %.2f %%)\n",
                100 * withMoving[0], 100 * withMoving[1], 100 * withoutMoving[0], 100 * withMoving[2],
                100 * withoutMoving[1]);
    std::printf("  state lines while moving: %ld\n", static_cast<long>(lines));
}

// Writes each line to a pipe and notes when it was handed over, as standard output would get it.
class TimedSink final : public common::LineSink {
public:
    void out(const std::string& line) override {
        if (line == "INTERACTION:mousedown:1" || line == "INTERACTION:mousedown:3") arrived_.store(Clock::now());
    }
    void err(const std::string&) override {}
    Clock::time_point arrivedAfter(Clock::time_point after) {
        const auto deadline = after + 1s;
        while (Clock::now() < deadline) {
            const auto at = arrived_.load();
            if (at >= after) return at;
            std::this_thread::yield();
        }
        return Clock::time_point{};
    }

private:
    std::atomic<Clock::time_point> arrived_{Clock::time_point{}};
};

void latencyFigures(bool polling) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) throw std::runtime_error("no pipe");
    OwnedFd writeEnd(ends[1]);
    std::vector<OwnedFd> readEnds;
    readEnds.emplace_back(ends[0]);
    auto source = EvdevButtonEvents::forDescriptors(std::move(readEnds));
    TimedSink sink;
    std::unique_ptr<pointer::input::ButtonPoller> poller;
    if (polling) {
        poller = std::make_unique<pointer::input::ButtonPoller>(*source, sink);
        poller->start();
    } else {
        pointer::input::installButtonTap(*source, sink);
    }
    std::vector<double> delays;
    int missed = 0;
    for (int i = 0; i < kClicks; ++i) {
        input_event events[4]{};
        events[0].type = EV_KEY, events[0].code = BTN_LEFT, events[0].value = 1;
        events[1].type = EV_SYN;
        events[2].type = EV_KEY, events[2].code = BTN_LEFT, events[2].value = 0;
        events[3].type = EV_SYN;
        const auto before = Clock::now();
        if (write(writeEnd.get(), events, sizeof events) != ssize_t(sizeof events)) throw std::runtime_error("write");
        const auto at = sink.arrivedAfter(before);
        if (at == Clock::time_point{}) {
            ++missed;
        } else {
            delays.push_back(std::chrono::duration<double, std::milli>(at - before).count());
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(3 + i % 7));  // land anywhere in a poll tick
    }
    std::sort(delays.begin(), delays.end());
    const auto at = [&](double q) { return delays.empty() ? 0.0 : delays[size_t(q * double(delays.size() - 1))]; };
    std::printf("click latency, %s mode, %d clicks through a pipe: median %.3f ms, p95 %.3f ms, max %.3f ms, missed %d\n",
                polling ? "poll" : "tap", kClicks, at(0.5), at(0.95), at(1.0), missed);
}

}  // namespace

int main(int argc, char** argv) {
    const bool latencyOnly = argc > 1 && std::string(argv[1]) == "--latency-only";
    latencyFigures(false);
    latencyFigures(true);
    if (!latencyOnly) cpuFigures();
    return 0;
}
