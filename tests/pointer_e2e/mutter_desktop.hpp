#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/desktop/test_desktop.hpp"

namespace pointertest {

// A private headless GNOME compositor (mutter) with one virtual monitor, its own session bus,
// PipeWire with its session manager, and the screen-cast portal frontend backed by a test-only
// backend that grants mutter's own screen casts without a dialog. Everything it starts is stopped
// by its destructor, by process id.
class MutterDesktop {
public:
    static constexpr int kWidth = 640;
    static constexpr int kHeight = 480;

    // Throws std::runtime_error with what failed when a part cannot be started.
    static std::unique_ptr<MutterDesktop> start();
    ~MutterDesktop();

    // What a client of this desktop needs, nothing inherited.
    const std::map<std::string, std::string>& environment() const { return environment_; }
    std::unique_ptr<testsupport::ChildProcess> spawn(const std::vector<std::string>& argv) const;
    // The process ids of the desktop's parts by name: "bus", "pipewire", "wireplumber", "mutter",
    // "portal backend", "portal".
    std::map<std::string, int> processIds() const;
    // Ends every screen cast the portal granted, as a desktop that withdraws them would.
    void killPortalBackend();
    // What the portal backend logged: which sessions it created, restored and started.
    std::string portalBackendLog() const;
    // Every part's standard error so far: for a failure's report.
    std::string logs() const;

private:
    MutterDesktop() = default;
    void startPart(const std::string& name, const std::vector<std::string>& argv);

    std::string state_;
    std::map<std::string, std::string> environment_;
    std::vector<std::pair<std::string, std::unique_ptr<testsupport::ChildProcess>>> parts_;
};

// A virtual pointer on the desktop (mutter's remote-desktop interface).
class VirtualPointer {
public:
    explicit VirtualPointer(const MutterDesktop& desktop);
    // Moves the pointer to a point of the monitor and waits until mutter took it.
    void moveTo(int x, int y);

private:
    std::unique_ptr<testsupport::ChildProcess> driver_;
};

}  // namespace pointertest
