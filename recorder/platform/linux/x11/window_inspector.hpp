#pragma once

#include <xcb/xcb.h>

#include <cstdint>
#include <optional>
#include <unordered_map>
#include <vector>

#include "recorder/platform/linux/x11/exclusion_area.hpp"
#include "recorder/platform/linux/x11/window_selection.hpp"
#include "recorder/platform/linux/x11/x11_connection.hpp"

namespace recorder::linux_backend::x11 {

// Reads windows, their geometry and their owning processes from the server. Remembers process
// ids and frame parents between calls, since they never change for a window and asking costs a
// round trip each. Not thread-safe: one owner per inspector, like its connection.
class WindowInspector {
public:
    explicit WindowInspector(const X11Connection& connection) : connection_(connection) {}

    // The client windows the window manager lists, bottom to top; without a window manager the
    // root's children that are not popups.
    std::vector<ClientWindowFacts> clientWindows();

    // The viewable children of the root, bottom to top, each with the process whose content it
    // shows (a frame belongs to the process of the client inside it).
    std::vector<TopLevelFacts> topLevels();

    // The process ids of every local client of the server, windows or not; empty without
    // X-Resource 1.2. One round trip.
    std::vector<int32_t> clientProcesses();

private:
    std::vector<xcb_window_t> windowListProperty(xcb_atom_t property);
    std::vector<xcb_window_t> rootChildren();
    std::optional<int32_t> processOf(xcb_window_t window);
    std::optional<int32_t> processFromProperty(xcb_window_t window);
    std::optional<int32_t> processFromResources(xcb_window_t window);
    std::optional<xcb_window_t> topLevelOf(xcb_window_t client);
    // The process of another client's window inside `topLevel`, if there is one.
    std::optional<int32_t> processInside(xcb_window_t topLevel, std::optional<int32_t> own);
    template <class Map>
    void forgetAllBut(Map& cache, const std::vector<xcb_window_t>& alive);

    const X11Connection& connection_;
    std::unordered_map<xcb_window_t, int32_t> processCache_;
    std::unordered_map<xcb_window_t, xcb_window_t> topLevelCache_;
    std::unordered_map<xcb_window_t, std::optional<int32_t>> insideCache_;
};

}  // namespace recorder::linux_backend::x11
