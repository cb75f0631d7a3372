#include "recorder/platform/linux/x11/monitors.hpp"

#include <xcb/randr.h>

#include <string>

namespace recorder::linux_backend::x11 {

std::vector<Monitor> queryMonitors(const X11Connection& connection) {
    std::vector<Monitor> monitors;
    if (connection.extensions().randrMonitors) {
        auto reply = takeReply<xcb_randr_get_monitors_reply_t>(
            connection.get(), xcb_randr_get_monitors(connection.get(), connection.root(), 1),
            xcb_randr_get_monitors_reply);
        if (reply) {
            for (auto it = xcb_randr_get_monitors_monitors_iterator(reply.get()); it.rem > 0;
                 xcb_randr_monitor_info_next(&it)) {
                const xcb_randr_monitor_info_t& info = *it.data;
                if (info.width == 0 || info.height == 0) continue;
                monitors.push_back(Monitor{info.name,
                                           common::Rect{static_cast<double>(info.x), static_cast<double>(info.y),
                                                        static_cast<double>(info.width),
                                                        static_cast<double>(info.height)},
                                           info.primary != 0});
            }
        }
    }
    if (monitors.empty() && !connection.isBroken()) {
        monitors.push_back(Monitor{kWholeScreenDisplayID,
                                   common::Rect{0, 0, static_cast<double>(connection.screenWidth()),
                                                static_cast<double>(connection.screenHeight())},
                                   true});
    }
    return monitors;
}

std::optional<uint32_t> mainMonitorID(const std::vector<Monitor>& monitors) {
    for (const auto& monitor : monitors) {
        if (monitor.primary) return monitor.id;
    }
    if (monitors.empty()) return std::nullopt;
    return monitors.front().id;
}

const Monitor* findMonitor(const std::vector<Monitor>& monitors, uint32_t id) {
    for (const auto& monitor : monitors) {
        if (monitor.id == id) return &monitor;
    }
    return nullptr;
}

std::vector<platform::Display> displaysOf(const X11Connection& connection, const std::vector<Monitor>& monitors) {
    xcb_connection_t* c = connection.get();
    std::vector<xcb_get_atom_name_cookie_t> names;
    names.reserve(monitors.size());
    for (const auto& monitor : monitors) {
        // The whole-screen stand-in has no name atom; asking would name whatever atom 1 is.
        if (monitor.id != kWholeScreenDisplayID) names.push_back(xcb_get_atom_name(c, monitor.id));
    }
    std::vector<platform::Display> displays;
    displays.reserve(monitors.size());
    size_t next = 0;
    for (const auto& monitor : monitors) {
        std::string name = "screen";
        if (monitor.id != kWholeScreenDisplayID) {
            auto reply = takeReply<xcb_get_atom_name_reply_t>(c, names[next++], xcb_get_atom_name_reply);
            name = reply ? std::string(xcb_get_atom_name_name(reply.get()),
                                       static_cast<size_t>(xcb_get_atom_name_name_length(reply.get())))
                         : std::string();
        }
        displays.push_back(platform::Display{monitor.id, monitor.frame, std::move(name)});
    }
    return displays;
}

}  // namespace recorder::linux_backend::x11
