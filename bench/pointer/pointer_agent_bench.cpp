// pointer-agent's cost and click latency on a private headless desktop.
//
// Prints:
//   - CPU use (share of one core) over 10 s with the pointer still over a window;
//   - CPU use over 10 s while the window's cursor changes every 100 ms;
//   - the delay from a click reaching X clients to pointer-agent's line for it, tap and poll mode.
// The CPU time is the sum over the agent's threads (/proc/PID/task/*/schedstat), so it is exact to
// the nanosecond rather than to the 10 ms of a clock tick.

#include <poll.h>
#include <xcb/xcb.h>
#include <xcb/xinput.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <functional>
#include <optional>
#include <stdexcept>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench/pointer/process_cpu.hpp"
#include "tests/support/desktop/test_desktop.hpp"
#include "tests/support/desktop/test_programs.hpp"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using testsupport::ChildProcess;
using testsupport::TestDesktop;

constexpr auto kMeasureSpan = 10s;
constexpr int kClicks = 40;

using pointer_bench::cpuNanoseconds;

// The agent's CPU time while `during` runs, as a share of one core.
double coreShareWhile(int pid, const std::function<void()>& during) {
    const auto startCpu = cpuNanoseconds(pid);
    const auto start = Clock::now();
    during();
    const auto wall = std::chrono::duration<double, std::nano>(Clock::now() - start).count();
    return double(cpuNanoseconds(pid) - startCpu) / wall;
}

// Hears raw button presses on the root window, as pointer-agent does, and notes when each arrived.
class RawPressListener {
public:
    explicit RawPressListener(const std::string& display) {
        connection_ = xcb_connect(display.c_str(), nullptr);
        if (xcb_connection_has_error(connection_)) throw std::runtime_error("cannot connect to " + display);
        const auto root = xcb_setup_roots_iterator(xcb_get_setup(connection_)).data->root;
        free(xcb_input_xi_query_version_reply(connection_, xcb_input_xi_query_version(connection_, 2, 2), nullptr));
        struct {
            xcb_input_event_mask_t head;
            uint32_t bits;
        } mask{{XCB_INPUT_DEVICE_ALL_MASTER, 1}, XCB_INPUT_XI_EVENT_MASK_RAW_BUTTON_PRESS};
        xcb_input_xi_select_events(connection_, root, 1, &mask.head);
        xcb_flush(connection_);
        thread_ = std::thread([this] { listen(); });
    }
    ~RawPressListener() {
        stop_ = true;
        thread_.join();
        xcb_disconnect(connection_);
    }
    // The arrival time of the press after `after`, waiting up to a second.
    std::optional<Clock::time_point> pressAfter(Clock::time_point after) {
        const auto deadline = Clock::now() + 1s;
        while (Clock::now() < deadline) {
            {
                std::lock_guard lock(mutex_);
                for (auto t : presses_) {
                    if (t >= after) return t;
                }
            }
            std::this_thread::sleep_for(100us);
        }
        return std::nullopt;
    }

private:
    void listen() {
        pollfd fd{xcb_get_file_descriptor(connection_), POLLIN, 0};
        while (!stop_) {
            while (auto* event = xcb_poll_for_event(connection_)) {
                const auto now = Clock::now();
                if ((event->response_type & 0x7f) == XCB_GE_GENERIC) {
                    std::lock_guard lock(mutex_);
                    presses_.push_back(now);
                }
                free(event);
            }
            poll(&fd, 1, 20);
        }
    }
    xcb_connection_t* connection_ = nullptr;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<Clock::time_point> presses_;
    std::thread thread_;
};

struct LatencyFigures {
    double medianMs = 0, p95Ms = 0, maxMs = 0;
    int missed = 0;
};

LatencyFigures clickLatency(TestDesktop& desktop, RawPressListener& listener, ChildProcess& agent) {
    std::vector<double> delays;
    int missed = 0;
    for (int i = 0; i < kClicks; ++i) {
        const auto before = Clock::now();
        // The click runs beside the reading: running a command waits a while for its output to
        // drain after it ends, which must not count.
        auto click = std::async(std::launch::async, [&] { desktop.run("xdotool click 1"); });
        std::optional<Clock::time_point> lineAt;
        while (auto line = agent.readStdoutLine(1000ms)) {
            if (*line == "INTERACTION:mousedown:1") lineAt = Clock::now();
            if (*line == "INTERACTION:mouseup:1") break;
        }
        click.wait();
        const auto press = listener.pressAfter(before);
        if (!press || !lineAt) {
            ++missed;
            continue;
        }
        // The line may be read before our own listener hears the press: that counts as no delay.
        delays.push_back(std::max(0.0, std::chrono::duration<double, std::milli>(*lineAt - *press).count()));
    }
    LatencyFigures figures;
    figures.missed = missed;
    if (delays.empty()) return figures;
    std::sort(delays.begin(), delays.end());
    figures.medianMs = delays[delays.size() / 2];
    figures.p95Ms = delays[std::min(delays.size() - 1, delays.size() * 95 / 100)];
    figures.maxMs = delays.back();
    return figures;
}

std::unique_ptr<ChildProcess> startAgent(TestDesktop& desktop, std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), testsupport::testProgramPath("pointer-agent"));
    auto agent = ChildProcess::spawn(arguments, desktop.environment());
    if (!agent->readStdoutLine(5s)) throw std::runtime_error("pointer-agent printed no state: " + agent->stderrSoFar());
    return agent;
}

}  // namespace

int main() {
    auto desktop = TestDesktop::start();
    auto window = ChildProcess::spawn(
        {testsupport::testProgramPath("test-window"), "--x", "100", "--y", "100", "--width", "400", "--height", "300"},
        desktop->environment());
    if (!window->readStdoutLine(5s)) {
        std::fprintf(stderr, "test-window did not start: %s\n", window->stderrSoFar().c_str());
        return 1;
    }
    desktop->run("xdotool mousemove 300 270");

    std::printf("pointer-agent, %lld s per CPU figure, %d clicks per latency figure\n",
                static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(kMeasureSpan).count()), kClicks);
    for (const auto& mode : {std::string("tap"), std::string("poll")}) {
        auto agent = startAgent(*desktop, mode == "poll" ? std::vector<std::string>{"--poll-buttons"}
                                                         : std::vector<std::string>{});
        const double still = coreShareWhile(agent->pid(), [] { std::this_thread::sleep_for(kMeasureSpan); });

        const std::vector<std::string> cursors{"xterm", "hand2", "crosshair", "left_ptr", "ew-resize", "not-allowed"};
        size_t changes = 0;
        const double changing = coreShareWhile(agent->pid(), [&] {
            const auto start = Clock::now();
            auto next = start;
            while (Clock::now() - start < kMeasureSpan) {
                window->writeStdin("cursor " + cursors[changes % cursors.size()] + "\n");
                window->waitForStdoutLine("OK", 1000ms);
                ++changes;
                next += 100ms;
                std::this_thread::sleep_until(next);
            }
        });
        std::string drained;
        while (auto line = agent->readStdoutLine(200ms)) drained = *line;

        RawPressListener listener(desktop->display());
        const auto latency = clickLatency(*desktop, listener, *agent);

        std::printf("%-4s mode: CPU still %.3f %% of a core; CPU with %zu cursor changes %.3f %% of a core\n",
                    mode.c_str(), still * 100, changes, changing * 100);
        std::printf("%-4s mode: click to line median %.2f ms, p95 %.2f ms, max %.2f ms, missed %d of %d\n",
                    mode.c_str(), latency.medianMs, latency.p95Ms, latency.maxMs, latency.missed, kClicks);
        std::fflush(stdout);
        agent->writeStdin("stop\n");
        agent->waitForExit(5s);
    }
    window->writeStdin("quit\n");
    return 0;
}
