#include "tests/pointer_e2e/mutter_desktop.hpp"

#include <gio/gio.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "tests/support/desktop/desktop_parts.hpp"
#include "tests/support/desktop/readiness.hpp"

namespace pointertest {
namespace {

using namespace std::chrono_literals;
using testsupport::ChildProcess;

constexpr auto kPartTimeout = 20s;
constexpr const char* kDesktopName = "pointertest";
constexpr const char* kBackendName = "org.freedesktop.impl.portal.desktop.pointertest";

bool nameHasOwner(const std::string& busAddress, const char* name) {
    GError* error = nullptr;
    GDBusConnection* bus = g_dbus_connection_new_for_address_sync(
        busAddress.c_str(),
        static_cast<GDBusConnectionFlags>(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                          G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
        nullptr, nullptr, &error);
    if (!bus) {
        g_error_free(error);
        return false;
    }
    GVariant* reply = g_dbus_connection_call_sync(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                                                  "org.freedesktop.DBus", "NameHasOwner", g_variant_new("(s)", name),
                                                  G_VARIANT_TYPE("(b)"), G_DBUS_CALL_FLAGS_NONE, 2000, nullptr, &error);
    gboolean owned = FALSE;
    if (reply) {
        g_variant_get(reply, "(b)", &owned);
        g_variant_unref(reply);
    } else {
        g_error_free(error);
    }
    g_object_unref(bus);
    return owned;
}

}  // namespace

std::unique_ptr<MutterDesktop> MutterDesktop::start() {
    std::unique_ptr<MutterDesktop> desktop(new MutterDesktop());
    auto& self = *desktop;
    self.state_ = testsupport::makeTemporaryDirectory("mutter-desktop-");
    const std::string runtime = self.state_ + "/runtime";
    std::filesystem::create_directories(runtime);
    std::filesystem::permissions(runtime, std::filesystem::perms::owner_all);
    const std::string busAddress = "unix:path=" + runtime + "/bus";
    self.environment_ = {
        {"PATH", "/usr/local/bin:/usr/bin:/bin"},
        {"HOME", self.state_},
        {"XDG_RUNTIME_DIR", runtime},
        {"XDG_CONFIG_HOME", self.state_ + "/config"},
        {"DBUS_SESSION_BUS_ADDRESS", busAddress},
        {"XDG_SESSION_TYPE", "wayland"},
        {"XDG_CURRENT_DESKTOP", kDesktopName},
        {"GDK_BACKEND", "wayland"},
    };
    const auto waitFor = [&self](const std::string& what, auto ready) {
        if (!testsupport::pollUntil(ready, kPartTimeout)) {
            throw std::runtime_error("the mutter desktop's " + what + " did not come up; " + self.logs());
        }
    };

    self.startPart("bus", {"dbus-daemon", "--session", "--nofork", "--nopidfile", "--address=" + busAddress});
    waitFor("bus", [&] { return std::filesystem::exists(runtime + "/bus"); });
    self.startPart("pipewire", {"pipewire"});
    waitFor("pipewire", [&] { return std::filesystem::exists(runtime + "/pipewire-0"); });
    self.startPart("wireplumber", {"wireplumber"});
    self.startPart("mutter", {"mutter", "--headless", "--virtual-monitor",
                              std::to_string(kWidth) + "x" + std::to_string(kHeight), "--wayland", "--no-x11"});
    waitFor("compositor", [&] {
        return std::filesystem::exists(runtime + "/wayland-0") && nameHasOwner(busAddress, "org.gnome.Mutter.ScreenCast") &&
               nameHasOwner(busAddress, "org.gnome.Mutter.RemoteDesktop");
    });
    self.environment_["WAYLAND_DISPLAY"] = "wayland-0";

    // The frontend reads its backends from this directory only, and must find the backend running.
    const std::string portals = self.state_ + "/portals";
    std::filesystem::create_directories(portals);
    std::ofstream(portals + "/pointertest.portal")
        << "[portal]\nDBusName=" << kBackendName << "\nInterfaces=org.freedesktop.impl.portal.ScreenCast;\nUseIn="
        << kDesktopName << "\n";
    self.startPart("portal backend", {"/usr/bin/python3", MUTTER_PORTAL_BACKEND_SCRIPT, kBackendName});
    waitFor("portal backend", [&] { return nameHasOwner(busAddress, kBackendName); });
    self.environment_["XDG_DESKTOP_PORTAL_DIR"] = portals;
    self.startPart("portal", {"/usr/libexec/xdg-desktop-portal"});
    self.environment_.erase("XDG_DESKTOP_PORTAL_DIR");
    waitFor("portal", [&] { return nameHasOwner(busAddress, "org.freedesktop.portal.Desktop"); });
    return desktop;
}

MutterDesktop::~MutterDesktop() {
    while (!parts_.empty()) parts_.pop_back();  // the frontend first, the bus last
    std::error_code ignored;
    std::filesystem::remove_all(state_, ignored);
}

void MutterDesktop::startPart(const std::string& name, const std::vector<std::string>& argv) {
    parts_.emplace_back(name, ChildProcess::spawnWithExactEnvironment(argv, environment_));
}

std::unique_ptr<ChildProcess> MutterDesktop::spawn(const std::vector<std::string>& argv) const {
    return ChildProcess::spawnWithExactEnvironment(argv, environment_);
}

std::map<std::string, int> MutterDesktop::processIds() const {
    std::map<std::string, int> ids;
    for (const auto& [name, process] : parts_) ids[name] = process->pid();
    return ids;
}

void MutterDesktop::killPortalBackend() {
    for (const auto& [name, process] : parts_) {
        if (name == "portal backend") {
            process->sendSignal(SIGKILL);
            process->waitForExit(kPartTimeout);
        }
    }
}

std::string MutterDesktop::portalBackendLog() const {
    for (const auto& [name, process] : parts_) {
        if (name == "portal backend") return process->stderrSoFar();
    }
    return {};
}

std::string MutterDesktop::logs() const {
    std::string text;
    for (const auto& [name, process] : parts_) text += "\n[" + name + "]\n" + process->stderrSoFar();
    return text;
}

VirtualPointer::VirtualPointer(const MutterDesktop& desktop)
    : driver_(desktop.spawn({"/usr/bin/python3", VIRTUAL_POINTER_SCRIPT})) {
    if (driver_->readStdoutLine(kPartTimeout) != "READY") {
        throw std::runtime_error("the virtual pointer did not start: " + driver_->stderrSoFar());
    }
}

void VirtualPointer::moveTo(int x, int y) {
    driver_->writeStdin("move " + std::to_string(x) + " " + std::to_string(y) + "\n");
    if (driver_->readStdoutLine(kPartTimeout) != "DONE") {
        throw std::runtime_error("the virtual pointer did not move: " + driver_->stderrSoFar());
    }
}

}  // namespace pointertest
