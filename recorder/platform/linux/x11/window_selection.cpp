#include "recorder/platform/linux/x11/window_selection.hpp"

#include <algorithm>
#include <unordered_set>

namespace recorder::linux_backend::x11 {

WindowSelection selectShareableWindows(const std::vector<ClientWindowFacts>& bottomToTop,
                                       bool excludingDesktopWindows, bool onScreenWindowsOnly) {
    WindowSelection selection;
    std::unordered_set<int32_t> seenProcesses;
    std::unordered_set<uint32_t> seenWindows;
    for (auto it = bottomToTop.rbegin(); it != bottomToTop.rend(); ++it) {
        const ClientWindowFacts& facts = *it;
        if (onScreenWindowsOnly && (!facts.viewable || facts.hidden)) continue;
        if (excludingDesktopWindows && facts.desktop) continue;
        // A window manager that lists a window twice must not make it two shareable windows.
        if (!seenWindows.insert(facts.id).second) continue;
        selection.windows.push_back(platform::Window{facts.id, facts.frame, facts.pid});
        if (facts.pid && seenProcesses.insert(*facts.pid).second) {
            selection.applications.push_back(platform::Application{*facts.pid});
        }
    }
    return selection;
}

}  // namespace recorder::linux_backend::x11
