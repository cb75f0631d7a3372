#pragma once

#include "tests/support/desktop/desktop_user.hpp"
#include "tests/support/desktop/test_desktop.hpp"

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace testsupport {

// sway with the wlroots portal backend (monitors only), or GNOME's mutter with a test-only portal
// backend that forwards to mutter's own screencast interface (monitors and windows).
enum class Compositor { sway, mutter };

struct WaylandDesktopOptions {
    Compositor compositor = Compositor::sway;
    int width = 1280;
    int height = 720;
    bool portal = true;       // the screencast portal (backend and frontend); false: nothing answers for it
    bool pulseAudio = false;  // pipewire-pulse with a null sink "sysout" as the default sink
};

// A private headless Wayland desktop with a screencast portal that asks nobody: its own session bus,
// PipeWire with its session manager, sway on a software renderer with one output, the wlroots portal
// backend choosing that output without a dialog, and the portal frontend that applications talk to.
// Only the frontend's own directory of backends and the bus's own services are used, so nothing
// installed on the machine joins in. It runs as desktopUser(); everything it starts is stopped by
// its destructor, by process id.
class WaylandDesktop {
public:
    // Throws std::runtime_error with what failed when a part cannot be started.
    static std::unique_ptr<WaylandDesktop> start(const WaylandDesktopOptions& options = {});
    ~WaylandDesktop();

    const DesktopUser& user() const;
    // The session's environment: what a client of this desktop needs, nothing inherited.
    std::map<std::string, std::string> environment() const;
    // Starts `argv` as the desktop's user with environment() plus `extraEnvironment`.
    std::unique_ptr<ChildProcess> spawn(const std::vector<std::string>& argv,
                                        const std::map<std::string, std::string>& extraEnvironment = {},
                                        const std::string& workingDirectory = {}) const;
    // Runs a shell command as the desktop's user in its environment.
    TestDesktop::CommandResult run(const std::string& shellCommand) const;

    // A copy of the program at `path` that the desktop's user can run: the build tree may lie where
    // other users cannot enter.
    std::string reachableCopy(const std::string& path);
    // A new empty directory the desktop's user may write to.
    std::filesystem::path makeDirectory(const std::string& name);

    // The process ids of the desktop's running parts by name: "bus", "pipewire", "wireplumber",
    // "pipewire-pulse", "compositor", "portal backend", "portal".
    std::map<std::string, int> processIds() const;
    // Ends the session from the desktop's side.
    void killPortalBackend();
    void killPipeWire();
    // What the portal backend wrote so far (its log says which sessions it started and restored).
    std::string portalBackendLog() const;
    // What every part wrote to its standard error so far, part by part: for a failure's report.
    std::string logs() const;

    class Impl;
private:
    explicit WaylandDesktop(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

// The patched wlroots portal backend the tests use: TEST_PORTAL_BACKEND when set, else where
// scripts/wayland/build-portal-backend puts it for this build. Empty when it is nowhere.
std::string portalBackendPath();

}  // namespace testsupport
