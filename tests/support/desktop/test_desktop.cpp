#include "tests/support/desktop/test_desktop.hpp"

#include "tests/support/desktop/desktop_parts.hpp"
#include "tests/support/desktop/pulse_config.hpp"
#include "tests/support/desktop/readiness.hpp"
#include "tests/support/desktop/x11_readiness.hpp"

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace testsupport {

namespace {

using namespace std::chrono_literals;

// Generous: the machines running the tests are shared, and a part that is merely slow must not fail a test.
constexpr auto startTimeout = 15s;
constexpr auto commandTimeout = 60s;
constexpr auto killWait = 5s;

// The physical size given to every monitor: 1920x1080 pixels at about 96 dpi. Only the pixel geometry matters.
constexpr int monitorWidthMm = 508;
constexpr int monitorHeightMm = 286;

// A sink whose reported latency is below this renders in small fragments, so its monitor delivers
// audio promptly to a low-latency recording.
constexpr long long settledSinkLatencyUs = 100'000;

void stop(std::unique_ptr<ChildProcess>& process) {
    // The ChildProcess destructor sends SIGTERM, then SIGKILL after a grace, and reaps.
    process.reset();
}

}  // namespace

class TestDesktop::Impl {
public:
    explicit Impl(DesktopOptions options) : options_(std::move(options)) {}

    ~Impl() {
        // Clients first, so none of them complains about a server that vanished under it.
        for (auto& keepAlive : keepAlives_) stop(keepAlive);
        stop(pulseAudio_);
        stop(windowManager_);
        stop(xServer_);
        if (!runtimeDirectory_.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(runtimeDirectory_, ignored);
        }
    }

    void start() {
        startXServer();
        defineMonitors();
        if (options_.windowManager) startWindowManager();
        if (options_.pulseAudio) startPulseAudio();
    }

    const std::string& display() const { return display_; }
    std::map<std::string, std::string> environment() const {
        // Programs on this desktop record X11 even when the tests run inside a Wayland session.
        std::map<std::string, std::string> result{{"DISPLAY", display_}, {"RECORDER_AGENT_BACKEND", "x11"}};
        if (pulseAudio_) {
            result["XDG_RUNTIME_DIR"] = runtimeDirectory_;
            result["PULSE_SERVER"] = "unix:" + runtimeDirectory_ + "/pulse/native";
        }
        return result;
    }

    CommandResult run(const std::string& shellCommand) const {
        auto shell = ChildProcess::spawn({"/bin/sh", "-c", shellCommand}, environment());
        shell->closeStdin();
        CommandResult result;
        result.status = shell->waitForExit(commandTimeout).value_or(-1);
        result.output = shell->stdoutSoFar();
        result.errorOutput = shell->stderrSoFar();
        return result;
    }

    void killXServer() { kill(xServer_); }
    int xServerPid() const { return xServer_ ? xServer_->pid() : -1; }
    void killPulseAudio() { kill(pulseAudio_); }

private:
    static void kill(const std::unique_ptr<ChildProcess>& process) {
        if (!process) return;
        process->sendSignal(SIGKILL);
        process->waitForExit(killWait);
    }

    void startXServer() {
        std::string screen = std::to_string(options_.screenWidth) + "x" + std::to_string(options_.screenHeight) + "x24";
        // -displayfd 1: Xvfb picks a free display number and writes it to its standard output.
        // -noreset: otherwise the server resets when its last client leaves, and defined monitors vanish.
        xServer_ = ChildProcess::spawn({"Xvfb", "-screen", "0", screen, "-nolisten", "tcp", "-noreset", "-displayfd", "1"});
        auto number = xServer_->readStdoutLine(startTimeout);
        if (!number || number->empty())
            throw std::runtime_error(describeFailure("Xvfb did not report a display number", *xServer_));
        display_ = ":" + *number;
        if (!pollUntil([&] { return displayAcceptsClients(display_); }, startTimeout))
            throw std::runtime_error(describeFailure("Xvfb on " + display_ + " does not accept clients", *xServer_));
    }

    void defineMonitors() {
        if (options_.monitors.empty()) return;
        bool first = true;
        for (const auto& monitor : options_.monitors) {
            std::ostringstream command;
            // The first monitor takes over the screen's output; the others have none. This is what makes
            // `xrandr --listmonitors` show exactly the monitors defined.
            command << "xrandr --setmonitor " << monitor.name << ' ' << monitor.width << '/' << monitorWidthMm << 'x'
                    << monitor.height << '/' << monitorHeightMm << '+' << monitor.x << '+' << monitor.y << ' '
                    << (first ? "screen" : "none");
            first = false;
            auto result = run(command.str());
            if (result.status != 0)
                throw std::runtime_error("cannot define monitor " + monitor.name + " (" + command.str() +
                                         "): " + result.errorOutput);
        }
        auto listing = run("xrandr --listmonitors");
        std::string expected = "Monitors: " + std::to_string(options_.monitors.size());
        if (listing.status != 0 || listing.output.rfind(expected, 0) != 0)
            throw std::runtime_error("the monitors defined on " + display_ + " did not take effect; xrandr lists:\n" +
                                     listing.output + listing.errorOutput);
    }

    void startWindowManager() {
        windowManager_ = ChildProcess::spawn({"openbox", "--sm-disable"}, environment());
        bool ready = pollUntil(
            [&] { return windowManagerRuns(display_) || windowManager_->waitForExit(0ms).has_value(); }, startTimeout);
        if (!ready || windowManager_->waitForExit(0ms).has_value() || !windowManagerRuns(display_) ||
            !windowManagerManagesWindows(display_, startTimeout))
            throw std::runtime_error(describeFailure("openbox did not take over " + display_, *windowManager_));
    }

    void startPulseAudio() {
        runtimeDirectory_ = makeTemporaryDirectory("test-desktop-");
        std::string configPath = runtimeDirectory_ + "/desktop.pa";
        {
            std::ofstream config(configPath);
            config << pulseAudioConfiguration();
            if (!config) throw std::runtime_error("cannot write " + configPath);
        }
        auto pulseEnvironment = environment();
        pulseEnvironment["XDG_RUNTIME_DIR"] = runtimeDirectory_;
        pulseAudio_ = ChildProcess::spawn({"pulseaudio", "-n", "-F", configPath, "--daemonize=no", "--exit-idle-time=-1",
                                           "--use-pid-file=no"},
                                          pulseEnvironment);
        bool ready = pollUntil(
            [&] {
                return pulseAudio_->waitForExit(0ms).has_value() ||
                       run("pactl list short sinks").output.find("sysout") != std::string::npos;
            },
            startTimeout);
        if (!ready || pulseAudio_->waitForExit(0ms).has_value())
            throw std::runtime_error(describeFailure("PulseAudio did not come up with sink sysout", *pulseAudio_));

        // An idle null sink renders in 2-second blocks, so a new recording of it would wait that long for
        // its first audio. A silent low-latency stream keeps each sink rendering in small fragments.
        for (const char* sink : {"sysout", "micfeed"}) {
            keepAlives_.push_back(ChildProcess::spawn(
                {"/bin/sh", "-c", std::string("exec pacat -p -d ") + sink + " --latency-msec=20 --raw </dev/zero"},
                environment()));
        }
        auto playing = [&] {
            std::istringstream inputs(run("pactl list short sink-inputs").output);
            size_t count = 0;
            for (std::string line; std::getline(inputs, line);) count += !line.empty();
            return count >= keepAlives_.size();
        };
        if (!pollUntil(playing, startTimeout))
            throw std::runtime_error(describeFailure("the silent keep-alive streams did not start", *keepAlives_.back()));

        // Each null sink first renders the block of up to two seconds it queued while idle; only once that
        // has played out does it follow the keep-alive's low latency, and until then its monitor delivers
        // nothing to a low-latency recording.
        auto settled = [&] {
            const long long latencyUs = largestSinkLatencyUs();
            return latencyUs >= 0 && latencyUs < settledSinkLatencyUs;
        };
        if (!pollUntil(settled, startTimeout))
            throw std::runtime_error("the PulseAudio sinks never reached a low latency; pactl list sinks says:\n" +
                                     run("pactl list sinks").output);
    }

    // The largest latency any sink reports, in microseconds; -1 when unknown.
    long long largestSinkLatencyUs() const {
        const auto listing = run("pactl list sinks");
        if (listing.status != 0) return -1;
        long long largest = -1;
        std::istringstream lines(listing.output);
        for (std::string line; std::getline(lines, line);) {
            const auto at = line.find("Latency: ");
            if (at == std::string::npos) continue;
            largest = std::max(largest, std::atoll(line.c_str() + at + 9));
        }
        return largest;
    }

    DesktopOptions options_;
    std::string display_;
    std::string runtimeDirectory_;
    std::unique_ptr<ChildProcess> xServer_, windowManager_, pulseAudio_;
    std::vector<std::unique_ptr<ChildProcess>> keepAlives_;
};

// The public face.

TestDesktop::TestDesktop(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
TestDesktop::~TestDesktop() = default;

std::unique_ptr<TestDesktop> TestDesktop::start(const DesktopOptions& options) {
    auto impl = std::make_unique<Impl>(options);
    impl->start();  // on a throw, impl's destructor stops what was started
    return std::unique_ptr<TestDesktop>(new TestDesktop(std::move(impl)));
}

const std::string& TestDesktop::display() const { return impl_->display(); }
std::map<std::string, std::string> TestDesktop::environment() const { return impl_->environment(); }
TestDesktop::CommandResult TestDesktop::run(const std::string& shellCommand) const { return impl_->run(shellCommand); }
void TestDesktop::killXServer() { impl_->killXServer(); }
int TestDesktop::xServerPid() const { return impl_->xServerPid(); }
void TestDesktop::killPulseAudio() { impl_->killPulseAudio(); }

}  // namespace testsupport
