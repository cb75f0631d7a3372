#include "tests/support/desktop/wayland_desktop.hpp"

#include "tests/support/desktop/desktop_parts.hpp"
#include "tests/support/desktop/process_launch.hpp"
#include "tests/support/desktop/readiness.hpp"

#include <sys/stat.h>

#include <unistd.h>

#include <array>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>

namespace testsupport {

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// Generous: the machines running the tests are shared, and a part that is merely slow must not fail a test.
constexpr auto startTimeout = 20s;
constexpr auto commandTimeout = 60s;
constexpr auto killWait = 5s;

// The output sway's headless backend creates first.
constexpr const char* outputName = "HEADLESS-1";
constexpr const char* backendBusName = "org.freedesktop.impl.portal.desktop.wlr";
constexpr const char* frontendBusName = "org.freedesktop.portal.Desktop";

void writeFile(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream file(path);
    file << text;
    if (!file.flush()) throw std::runtime_error("cannot write " + path.string());
}

// A directory of the desktop's own, closed to everyone else.
void makePrivateDirectory(const fs::path& path, const DesktopUser& user) {
    fs::create_directories(path);
    fs::permissions(path, fs::perms::owner_all, fs::perm_options::replace);
    handOver(path, user);
}

// A session bus that starts nothing but the services in `serviceDirectory`: what the machine has
// installed for its own sessions (other portals, other backends) stays out of the tests' desktop.
std::string busConfiguration(const fs::path& socket, const fs::path& serviceDirectory) {
    return R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <keep_umask/>
  <listen>unix:path=)" + socket.string() + R"(</listen>
  <auth>EXTERNAL</auth>
  <servicedir>)" + serviceDirectory.string() + R"(</servicedir>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)";
}

}  // namespace

std::string portalBackendPath() {
    if (const char* configured = std::getenv("TEST_PORTAL_BACKEND"); configured && *configured) return configured;
    // Filled in by the build (tests/support/CMakeLists.txt): this build's directory first, then the
    // default build's, which the sanitizer builds share.
    for (const char* candidate : {TEST_PORTAL_BACKEND_IN_BUILD, TEST_PORTAL_BACKEND_IN_DEFAULT_BUILD})
        if (::access(candidate, X_OK) == 0) return candidate;
    return {};
}

class WaylandDesktop::Impl {
public:
    explicit Impl(WaylandDesktopOptions options) : options_(options), user_(desktopUser()) {}

    ~Impl() {
        // The portal before what it uses, the compositor before PipeWire, the bus last.
        for (auto* part : {&frontend_, &backend_, &compositor_, &pulse_, &sessionManager_, &pipeWire_, &bus_})
            part->reset();  // ChildProcess: SIGTERM to its process group, SIGKILL after a grace, reaped
        if (!state_.empty() && !std::getenv("E2E_KEEP_FILES")) {
            std::error_code ignored;
            fs::remove_all(state_, ignored);
        }
    }

    void start() {
        state_ = makeTemporaryDirectory("wayland-desktop-");
        handOver(state_, user_);
        runtime_ = state_ / "xdg";
        makePrivateDirectory(runtime_, user_);
        makePrivateDirectory(state_ / "home", user_);
        environment_ = {
            {"PATH", "/usr/local/bin:/usr/bin:/bin"},
            {"HOME", (state_ / "home").string()},
            {"LANG", "C.UTF-8"},
            {"XDG_RUNTIME_DIR", runtime_.string()},
            {"XDG_CONFIG_HOME", (state_ / "config").string()},
            {"XDG_CURRENT_DESKTOP", mutter() ? "GNOME" : "sway"},
            {"XDG_SESSION_DESKTOP", mutter() ? "gnome" : "sway"},
            {"XDG_SESSION_TYPE", "wayland"},
        };
        // Sanitizer settings reach programs under test that run on this desktop.
        for (const auto& [name, value] : currentEnvironment())
            if (name.ends_with("SAN_OPTIONS")) environment_[name] = value;

        startBus();
        startPipeWire();
        if (options_.pulseAudio) startPulseAudio();
        if (mutter()) {
            startMutter();
            if (options_.portal) startMutterPortal();
        } else {
            startCompositor();
            if (options_.portal) startPortal();
        }
    }

    const DesktopUser& user() const { return user_; }
    std::map<std::string, std::string> environment() const { return environment_; }

    std::unique_ptr<ChildProcess> spawn(const std::vector<std::string>& argv,
                                        const std::map<std::string, std::string>& extra,
                                        const std::string& workingDirectory) const {
        auto environment = environment_;
        for (const auto& [name, value] : extra) environment[name] = value;
        return ChildProcess::spawnWithExactEnvironment(commandAsUser(user_, argv), environment, workingDirectory);
    }

    TestDesktop::CommandResult run(const std::string& shellCommand) const {
        auto shell = spawn({"/bin/sh", "-c", shellCommand}, {}, {});
        shell->closeStdin();
        TestDesktop::CommandResult result;
        result.status = shell->waitForExit(commandTimeout).value_or(-1);
        result.output = shell->stdoutSoFar();
        result.errorOutput = shell->stderrSoFar();
        return result;
    }

    std::string reachableCopy(const std::string& path) {
        const fs::path directory = state_ / "bin";
        if (!fs::exists(directory)) {
            fs::create_directories(directory);
            handOver(directory, user_);
        }
        const fs::path copy = directory / fs::path(path).filename();
        fs::copy_file(path, copy, fs::copy_options::overwrite_existing);
        fs::permissions(copy, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                  fs::perms::others_read | fs::perms::others_exec);
        return copy.string();
    }

    fs::path makeDirectory(const std::string& name) {
        const fs::path files = state_ / "files";
        if (!fs::exists(files)) makePrivateDirectory(files, user_);
        const fs::path directory = files / name;
        fs::remove_all(directory);
        makePrivateDirectory(directory, user_);
        return directory;
    }

    std::map<std::string, int> processIds() const {
        std::map<std::string, int> ids;
        for (const auto& [name, part] : parts())
            if (*part && !(*part)->waitForExit(0ms)) ids[name] = (*part)->pid();
        return ids;
    }

    std::string logs() const {
        std::string text;
        for (const auto& [name, part] : parts())
            if (*part) text += "--- " + std::string(name) + ":\n" + (*part)->stderrSoFar();
        return text;
    }
    void killPortalBackend() { kill(backend_); }
    void killPipeWire() { kill(pipeWire_); }
    std::string portalBackendLog() const { return backend_ ? backend_->stderrSoFar() : std::string(); }

private:
    using Part = std::pair<const char*, const std::unique_ptr<ChildProcess>*>;
    std::array<Part, 7> parts() const {
        return {{{"bus", &bus_},
                 {"pipewire", &pipeWire_},
                 {"wireplumber", &sessionManager_},
                 {"pipewire-pulse", &pulse_},
                 {"compositor", &compositor_},
                 {"portal backend", &backend_},
                 {"portal", &frontend_}}};
    }

    static void kill(const std::unique_ptr<ChildProcess>& process) {
        if (!process) return;
        process->sendSignal(SIGKILL);
        process->waitForExit(killWait);
    }

    // Starts one part of the desktop and waits until `ready` holds; throws, with what the part said,
    // when it ends or does not become ready in time.
    template <typename Ready>
    std::unique_ptr<ChildProcess> startPart(const std::string& what, const std::vector<std::string>& argv, Ready ready,
                                            const std::map<std::string, std::string>& extra = {}) {
        auto process = spawn(argv, extra, state_.string());
        const bool ok = pollUntil([&] { return process->waitForExit(0ms).has_value() || ready(); }, startTimeout);
        if (!ok || process->waitForExit(0ms).has_value())
            throw std::runtime_error(describeFailure(what + (ok ? " ended while starting" : " did not become ready"),
                                                     *process));
        return process;
    }

    bool hasFile(const std::string& name) const { return fs::exists(runtime_ / name); }

    bool busHasName(const std::string& name) const {
        auto reply = run("dbus-send --session --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus "
                         "org.freedesktop.DBus.NameHasOwner string:" + name);
        return reply.status == 0 && reply.output.find("boolean true") != std::string::npos;
    }

    void startBus() {
        const fs::path services = state_ / "dbus" / "services";
        // The permission store keeps what the portal remembers between sessions (restore tokens).
        writeFile(services / "org.freedesktop.impl.portal.PermissionStore.service",
                  "[D-BUS Service]\nName=org.freedesktop.impl.portal.PermissionStore\n"
                  "Exec=/usr/libexec/xdg-permission-store\n");
        const fs::path configuration = state_ / "dbus" / "session.conf";
        writeFile(configuration, busConfiguration(runtime_ / "bus", services));
        bus_ = spawn({"dbus-daemon", "--config-file=" + configuration.string(), "--nofork", "--nopidfile",
                      "--print-address"}, {}, state_.string());
        // The address is printed once the bus accepts connections.
        auto address = bus_->readStdoutLine(startTimeout);
        if (!address || address->empty())
            throw std::runtime_error(describeFailure("the session bus did not start", *bus_));
        environment_["DBUS_SESSION_BUS_ADDRESS"] = *address;
    }

    void startPipeWire() {
        pipeWire_ = startPart("PipeWire", {"pipewire"}, [&] { return hasFile("pipewire-0"); });
        // Without the session manager no stream is ever linked to its producer.
        sessionManager_ = startPart("WirePlumber", {"wireplumber"}, [&] {
            return run("pw-cli ls Client").output.find("\"WirePlumber\"") != std::string::npos;
        });
    }

    void startPulseAudio() {
        pulse_ = startPart("pipewire-pulse", {"pipewire-pulse"},
                           [&] { return hasFile("pulse/native") && run("pactl info").status == 0; });
        // No sound hardware here: system audio goes to a sink of our own.
        auto made = run("pactl load-module module-null-sink sink_name=sysout && pactl set-default-sink sysout");
        if (made.status != 0) throw std::runtime_error("cannot add the sink sysout: " + made.errorOutput);
        if (!pollUntil([&] { return run("pactl get-default-sink").output == "sysout\n"; }, startTimeout))
            throw std::runtime_error("sysout did not become the default sink: " + run("pactl list short sinks").output);
    }

    void startCompositor() {
        const std::string mode = std::to_string(options_.width) + "x" + std::to_string(options_.height);
        const fs::path configuration = state_ / "config" / "sway" / "config";
        writeFile(configuration, "output " + std::string(outputName) + " mode " + mode + " position 0 0\n"
                                 "default_border none\nxwayland disable\n");
        compositor_ = startPart(
            "sway", {"sway", "-c", configuration.string()},
            [&] {
                for (const auto& entry : fs::directory_iterator(runtime_))
                    if (entry.path().filename().string().starts_with("sway-ipc."))
                        environment_["SWAYSOCK"] = entry.path().string();
                return environment_.contains("SWAYSOCK") && findWaylandDisplay() &&
                       run("swaymsg -t get_outputs -r").output.find(outputName) != std::string::npos;
            },
            {{"WLR_BACKENDS", "headless"}, {"WLR_RENDERER", "pixman"}, {"WLR_LIBINPUT_NO_DEVICES", "1"},
             {"WLR_HEADLESS_OUTPUTS", "1"}});
        // The headless output may exist before the configuration is read: set its mode and check it.
        const std::string wanted = "\"width\": " + std::to_string(options_.width);
        if (!pollUntil([&] {
                run("swaymsg output " + std::string(outputName) + " mode " + mode);
                return run("swaymsg -t get_outputs -r").output.find(wanted) != std::string::npos;
            }, startTimeout))
            throw std::runtime_error("sway did not give " + std::string(outputName) + " the mode " + mode + ": " +
                                     run("swaymsg -t get_outputs -r").output);
        // Services the bus starts later see the Wayland session too.
        run("dbus-update-activation-environment WAYLAND_DISPLAY SWAYSOCK XDG_CURRENT_DESKTOP XDG_SESSION_TYPE");
    }

    bool mutter() const { return options_.compositor == Compositor::mutter; }

    // The Wayland socket the compositor made in the runtime directory, once it is there.
    bool findWaylandDisplay() {
        for (const auto& entry : fs::directory_iterator(runtime_)) {
            const auto name = entry.path().filename().string();
            if (name.starts_with("wayland-") && !name.ends_with(".lock")) environment_["WAYLAND_DISPLAY"] = name;
        }
        return environment_.contains("WAYLAND_DISPLAY");
    }

    void startMutter() {
        const std::string monitor = std::to_string(options_.width) + "x" + std::to_string(options_.height);
        // Settings stay in memory: this bus starts no settings service.
        compositor_ = startPart(
            "mutter", {"mutter", "--headless", "--virtual-monitor", monitor, "--wayland", "--no-x11"},
            [&] { return findWaylandDisplay() && busHasName("org.gnome.Mutter.ScreenCast"); },
            {{"GSETTINGS_BACKEND", "memory"}});
    }

    void startMutterPortal() {
        const std::string busName = "org.freedesktop.impl.portal.desktop.mutterforward";
        backend_ = startPart("the mutter portal backend",
                             {"python3", reachableCopy(TEST_MUTTER_PORTAL_SCRIPT), busName},
                             [&] { return busHasName(busName); });
        startFrontend(busName, "GNOME");
    }

    void startFrontend(const std::string& backendName, const std::string& desktop) {
        // The frontend finds its backends in this directory only.
        const fs::path portals = state_ / "portals";
        writeFile(portals / "test.portal", "[portal]\nDBusName=" + backendName +
                                               "\nInterfaces=org.freedesktop.impl.portal.ScreenCast;\nUseIn=" +
                                               desktop + ";\n");
        frontend_ = startPart("xdg-desktop-portal", {"/usr/libexec/xdg-desktop-portal"},
                              [&] { return busHasName(frontendBusName); },
                              {{"XDG_DESKTOP_PORTAL_DIR", portals.string()}});
    }

    void startPortal() {
        const std::string backend = portalBackendPath();
        if (backend.empty())
            throw std::runtime_error("the patched portal backend is missing: run scripts/wayland/build-portal-backend "
                                     "BUILD_DIR/wayland (scripts/setup does), or set TEST_PORTAL_BACKEND");
        writeFile(state_ / "config" / "xdg-desktop-portal-wlr" / "config",
                  "[screencast]\nchooser_type=none\noutput_name=" + std::string(outputName) + "\nmax_fps=60\n");
        backend_ = startPart("the portal backend", {reachableCopy(backend), "-l", "INFO"},
                             [&] { return busHasName(backendBusName); });
        startFrontend(backendBusName, "sway");
    }

    WaylandDesktopOptions options_;
    DesktopUser user_;
    fs::path state_, runtime_;
    std::map<std::string, std::string> environment_;
    std::unique_ptr<ChildProcess> bus_, pipeWire_, sessionManager_, pulse_, compositor_, backend_, frontend_;
};

// The public face.

WaylandDesktop::WaylandDesktop(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
WaylandDesktop::~WaylandDesktop() = default;

std::unique_ptr<WaylandDesktop> WaylandDesktop::start(const WaylandDesktopOptions& options) {
    auto impl = std::make_unique<Impl>(options);
    impl->start();  // on a throw, impl's destructor stops what was started
    return std::unique_ptr<WaylandDesktop>(new WaylandDesktop(std::move(impl)));
}

const DesktopUser& WaylandDesktop::user() const { return impl_->user(); }
std::map<std::string, std::string> WaylandDesktop::environment() const { return impl_->environment(); }
std::unique_ptr<ChildProcess> WaylandDesktop::spawn(const std::vector<std::string>& argv,
                                                    const std::map<std::string, std::string>& extraEnvironment,
                                                    const std::string& workingDirectory) const {
    return impl_->spawn(argv, extraEnvironment, workingDirectory);
}
TestDesktop::CommandResult WaylandDesktop::run(const std::string& shellCommand) const { return impl_->run(shellCommand); }
std::string WaylandDesktop::reachableCopy(const std::string& path) { return impl_->reachableCopy(path); }
std::filesystem::path WaylandDesktop::makeDirectory(const std::string& name) { return impl_->makeDirectory(name); }
std::map<std::string, int> WaylandDesktop::processIds() const { return impl_->processIds(); }
void WaylandDesktop::killPortalBackend() { impl_->killPortalBackend(); }
void WaylandDesktop::killPipeWire() { impl_->killPipeWire(); }
std::string WaylandDesktop::portalBackendLog() const { return impl_->portalBackendLog(); }
std::string WaylandDesktop::logs() const { return impl_->logs(); }

}  // namespace testsupport
