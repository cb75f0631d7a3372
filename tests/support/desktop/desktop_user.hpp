#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

namespace testsupport {

// The account a Wayland test desktop runs as. Compositors refuse to run as root, so when the tests
// run as root the desktop and its clients run as an unprivileged user instead; otherwise they run as
// whoever runs the tests.
struct DesktopUser {
    std::string name;
    uid_t uid = 0;
    gid_t gid = 0;
    bool switchNeeded = false;  // true when the tests run as someone else (root)
};

// The user for test desktops: this process's own when it is not root; as root the account named by
// TEST_DESKTOP_USER (default "wldesk"), created without a home directory when it is missing.
// Throws std::runtime_error when the account cannot be found or made.
DesktopUser desktopUser();

// `argv` so that it runs as `user`, with the environment it is given and killed when its parent
// dies (switching users clears the kernel's parent-death signal, so it is set again after the switch).
std::vector<std::string> commandAsUser(const DesktopUser& user, const std::vector<std::string>& argv);

// Makes `path` (a file or a directory, not recursively) belong to `user`.
void handOver(const std::filesystem::path& path, const DesktopUser& user);

}  // namespace testsupport
