#include "tests/support/desktop/desktop_user.hpp"

#include "tests/support/desktop/test_desktop.hpp"

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <stdexcept>

namespace testsupport {

namespace {

using namespace std::chrono_literals;

std::optional<DesktopUser> lookUp(const std::string& name) {
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found) return std::nullopt;
    return DesktopUser{name, found->pw_uid, found->pw_gid, true};
}

std::string ownName() {
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found) return found->pw_name;
    return std::to_string(::getuid());
}

}  // namespace

DesktopUser desktopUser() {
    if (::getuid() != 0) return DesktopUser{ownName(), ::getuid(), ::getgid(), false};
    const char* configured = std::getenv("TEST_DESKTOP_USER");
    const std::string name = configured && *configured ? configured : "wldesk";
    if (auto user = lookUp(name)) return *user;
    auto adding = ChildProcess::spawn({"useradd", "--system", "--no-create-home", "--home-dir", "/nonexistent",
                                       "--shell", "/usr/sbin/nologin", name});
    adding->closeStdin();
    const auto status = adding->waitForExit(30s);
    // Another test program may have created it at the same moment: what counts is that it exists now.
    if (auto user = lookUp(name)) return *user;
    throw std::runtime_error("cannot create the desktop user " + name + " (useradd status " +
                             (status ? std::to_string(*status) : std::string("unknown")) +
                             "): " + adding->stderrSoFar());
}

std::vector<std::string> commandAsUser(const DesktopUser& user, const std::vector<std::string>& argv) {
    if (!user.switchNeeded) return argv;
    std::vector<std::string> command{"setpriv",        "--reuid=" + std::to_string(user.uid),
                                     "--regid=" + std::to_string(user.gid), "--init-groups",
                                     "--pdeathsig=KILL", "--"};
    command.insert(command.end(), argv.begin(), argv.end());
    return command;
}

void handOver(const std::filesystem::path& path, const DesktopUser& user) {
    if (!user.switchNeeded) return;
    if (::chown(path.c_str(), user.uid, user.gid) != 0)
        throw std::runtime_error("cannot give " + path.string() + " to " + user.name + ": " + std::strerror(errno));
}

}  // namespace testsupport
