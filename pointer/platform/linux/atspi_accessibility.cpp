#include "pointer/platform/linux/atspi_accessibility.hpp"

#include <cstdlib>
#include <deque>
#include <filesystem>
#include <optional>

#include "pointer/platform/linux/atspi_element.hpp"

namespace pointer::platform::linux_x11 {
namespace {

// Each question is a D-Bus round trip to another program; one that hangs must not stall the
// state timer for the library's default 25 s.
constexpr gint kMethodTimeoutMs = 300;
constexpr gint kStartupTimeoutMs = 1000;
// Bounds on walking an element tree: the deepest real user interfaces stay far below these.
constexpr int kMaxDescent = 64;
constexpr int kMaxFocusSearch = 4000;

using Accessible = GObjectRef<AtspiAccessible>;

struct ErrorFree {
    void operator()(GError* error) const { g_error_free(error); }
};
using ErrorRef = std::unique_ptr<GError, ErrorFree>;

Accessible childAt(AtspiAccessible* parent, int index) {
    GError* raw = nullptr;
    Accessible child(atspi_accessible_get_child_at_index(parent, index, &raw));
    ErrorRef error(raw);
    return error ? nullptr : std::move(child);
}

int childCount(AtspiAccessible* accessible) {
    GError* raw = nullptr;
    const int count = atspi_accessible_get_child_count(accessible, &raw);
    ErrorRef error(raw);
    return error ? 0 : count;
}

bool hasState(AtspiAccessible* accessible, AtspiStateType state) {
    GObjectRef<AtspiStateSet> states(atspi_accessible_get_state_set(accessible));
    return states && atspi_state_set_contains(states.get(), state);
}

bool containsPoint(AtspiAccessible* accessible, common::Point point) {
    GObjectRef<AtspiComponent> component(atspi_accessible_get_component_iface(accessible));
    if (!component) return false;
    GError* raw = nullptr;
    AtspiRect* extents = atspi_component_get_extents(component.get(), ATSPI_COORD_TYPE_SCREEN, &raw);
    ErrorRef error(raw);
    if (error || extents == nullptr) return false;
    const common::Rect frame{double(extents->x), double(extents->y), double(extents->width), double(extents->height)};
    g_free(extents);
    return frame.contains(point);
}

Accessible childAtPoint(AtspiAccessible* accessible, common::Point point) {
    GObjectRef<AtspiComponent> component(atspi_accessible_get_component_iface(accessible));
    if (!component) return nullptr;
    GError* raw = nullptr;
    Accessible child(atspi_component_get_accessible_at_point(component.get(), gint(point.x), gint(point.y),
                                                             ATSPI_COORD_TYPE_SCREEN, &raw));
    ErrorRef error(raw);
    return error ? nullptr : std::move(child);
}

// The top-level windows of every application on the bus. Their cached states stay current without
// a main loop of our own: AT-SPI dispatches pending change notices during every call it makes.
std::vector<Accessible> topLevelWindows() {
    std::vector<Accessible> windows;
    Accessible desktop(atspi_get_desktop(0));
    if (!desktop) return windows;
    const int applications = childCount(desktop.get());
    for (int a = 0; a < applications; ++a) {
        auto application = childAt(desktop.get(), a);
        if (!application) continue;
        const int count = childCount(application.get());
        for (int w = 0; w < count; ++w) {
            if (auto window = childAt(application.get(), w)) windows.push_back(std::move(window));
        }
    }
    return windows;
}

// Without a session bus, D-Bus would launch one of its own for this process (and leave it running
// after us); a session that has no bus has no accessibility bus either.
bool sessionBusExists() {
    const char* address = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    if (address != nullptr && *address != '\0') return true;
    const char* runtimeDirectory = std::getenv("XDG_RUNTIME_DIR");
    if (runtimeDirectory == nullptr || *runtimeDirectory == '\0') return false;
    std::error_code ignored;
    return std::filesystem::exists(std::filesystem::path(runtimeDirectory) / "bus", ignored);
}

}  // namespace

bool AtspiAccessibility::connect() {
    if (connection_ == Connection::untried && !sessionBusExists()) connection_ = Connection::unavailable;
    if (connection_ == Connection::untried) {
        // atspi_init answers 0 on success and 1 when already initialised in this process.
        connection_ = atspi_init() <= 1 ? Connection::connected : Connection::unavailable;
        if (connection_ == Connection::connected) atspi_set_timeout(kMethodTimeoutMs, kStartupTimeoutMs);
    }
    return connection_ == Connection::connected;
}

ElementHandle AtspiAccessibility::elementAt(common::Point point) {
    if (!connect()) return nullptr;
    // Of the showing windows under the point, the active one is in front; AT-SPI knows no
    // stacking order beyond that.
    Accessible chosen;
    for (auto& window : topLevelWindows()) {
        if (!hasState(window.get(), ATSPI_STATE_SHOWING) || !containsPoint(window.get(), point)) continue;
        const bool active = hasState(window.get(), ATSPI_STATE_ACTIVE);
        if (!chosen || active) chosen = std::move(window);
        if (active) break;
    }
    if (!chosen) return nullptr;
    for (int depth = 0; depth < kMaxDescent; ++depth) {
        auto child = childAtPoint(chosen.get(), point);
        if (!child || child.get() == chosen.get()) break;
        chosen = std::move(child);
    }
    return std::make_unique<AtspiElement>(std::move(chosen));
}

ElementHandle AtspiAccessibility::focusedElement() {
    if (!connect()) return nullptr;
    // AT-SPI has no question for the focused element: look for it in the active window.
    std::deque<Accessible> pending;
    for (auto& window : topLevelWindows()) {
        if (hasState(window.get(), ATSPI_STATE_ACTIVE)) pending.push_back(std::move(window));
    }
    for (int visited = 0; !pending.empty() && visited < kMaxFocusSearch; ++visited) {
        auto element = std::move(pending.front());
        pending.pop_front();
        if (hasState(element.get(), ATSPI_STATE_FOCUSED)) return std::make_unique<AtspiElement>(std::move(element));
        if (!hasState(element.get(), ATSPI_STATE_SHOWING)) continue;
        const int count = childCount(element.get());
        for (int i = 0; i < count; ++i) {
            if (auto child = childAt(element.get(), i)) pending.push_back(std::move(child));
        }
    }
    return nullptr;
}

}  // namespace pointer::platform::linux_x11
