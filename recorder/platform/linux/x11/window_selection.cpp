#include "recorder/platform/linux/x11/window_selection.hpp"

#include <algorithm>
#include <unordered_set>

namespace recorder::linux_backend::x11 {

WindowSelection selectShareableWindows(const std::vector<ClientWindowFacts>& bottomToTop,
                                       const std::vector<int32_t>& clientProcesses, bool excludingDesktopWindows,
                                       bool onScreenWindowsOnly) {
    WindowSelection selection;
    std::unordered_set<int32_t> seenProcesses;
    std::unordered_set<uint32_t> seenWindows;
    for (auto it = bottomToTop.rbegin(); it != bottomToTop.rend(); ++it) {
        const ClientWindowFacts& facts = *it;
        if (onScreenWindowsOnly && (!facts.viewable || facts.hidden)) continue;
        if (excludingDesktopWindows && facts.desktop) continue;
        // A window manager that lists a window twice must not make it two shareable windows.
        if (!seenWindows.insert(facts.id).second) continue;
        selection.windows.push_back(
            platform::Window{facts.id, facts.frame, facts.pid, facts.title, facts.applicationName});
        if (facts.pid && seenProcesses.insert(*facts.pid).second) {
            selection.applications.push_back(platform::Application{*facts.pid});
        }
    }
    // Sorted so that the list does not reshuffle between queries when the server reorders clients.
    std::vector<int32_t> others;
    for (int32_t pid : clientProcesses) {
        if (seenProcesses.insert(pid).second) others.push_back(pid);
    }
    std::sort(others.begin(), others.end());
    for (int32_t pid : others) selection.applications.push_back(platform::Application{pid});
    return selection;
}

}  // namespace recorder::linux_backend::x11
