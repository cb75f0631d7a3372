#include "recorder/platform/linux/x11/window_inspector.hpp"

#include <xcb/res.h>

#include <algorithm>
#include <string>
#include <unordered_set>

namespace recorder::linux_backend::x11 {
namespace {

// Far more windows than any desktop shows; a property is read in one request up to this length.
constexpr uint32_t kMaximumListedWindows = 65536;
// Titles are for a person to read in a list; 4 KiB (in 32-bit units: 1024) is more than ever shows.
constexpr uint32_t kMaximumTextLength = 1024;

std::string textOf(const xcb_get_property_reply_t* reply) {
    if (!reply || reply->format != 8) return {};
    return std::string(static_cast<const char*>(xcb_get_property_value(reply)),
                       static_cast<size_t>(xcb_get_property_value_length(reply)));
}

// WM_CLASS holds the instance name and then the class name, each ended by a zero byte.
std::string classNameOf(const xcb_get_property_reply_t* reply) {
    const std::string both = textOf(reply);
    const size_t end = both.find('\0');
    if (end == std::string::npos) return both;
    const std::string className = both.substr(end + 1, both.find('\0', end + 1) - end - 1);
    return className.empty() ? both.substr(0, end) : className;
}

bool listContains(const xcb_get_property_reply_t* reply, xcb_atom_t wanted) {
    if (!reply || reply->format != 32) return false;
    const auto* atoms = static_cast<const xcb_atom_t*>(xcb_get_property_value(reply));
    const int count = xcb_get_property_value_length(reply) / 4;
    return std::find(atoms, atoms + count, wanted) != atoms + count;
}

}  // namespace

std::vector<xcb_window_t> WindowInspector::windowListProperty(xcb_atom_t property) {
    if (property == XCB_NONE) return {};
    xcb_connection_t* c = connection_.get();
    auto reply = takeReply<xcb_get_property_reply_t>(
        c, xcb_get_property(c, 0, connection_.root(), property, XCB_ATOM_WINDOW, 0, kMaximumListedWindows),
        xcb_get_property_reply);
    if (!reply || reply->type != XCB_ATOM_WINDOW || reply->format != 32) return {};
    const auto* windows = static_cast<const xcb_window_t*>(xcb_get_property_value(reply.get()));
    return std::vector<xcb_window_t>(windows, windows + xcb_get_property_value_length(reply.get()) / 4);
}

std::vector<xcb_window_t> WindowInspector::rootChildren() {
    xcb_connection_t* c = connection_.get();
    auto tree = takeReply<xcb_query_tree_reply_t>(c, xcb_query_tree(c, connection_.root()), xcb_query_tree_reply);
    if (!tree) return {};
    const xcb_window_t* children = xcb_query_tree_children(tree.get());
    return std::vector<xcb_window_t>(children, children + xcb_query_tree_children_length(tree.get()));
}

std::vector<ClientWindowFacts> WindowInspector::clientWindows() {
    xcb_connection_t* c = connection_.get();
    const Atoms& atoms = connection_.atoms();
    std::vector<xcb_window_t> windows = windowListProperty(atoms.netClientListStacking);
    if (windows.empty()) windows = windowListProperty(atoms.netClientList);
    const bool managed = !windows.empty();
    if (!managed) windows = rootChildren();

    // Every request first, then every reply: one round trip for the whole list.
    struct Pending {
        xcb_get_window_attributes_cookie_t attributes;
        xcb_get_geometry_cookie_t geometry;
        xcb_translate_coordinates_cookie_t origin;
        xcb_get_property_cookie_t state;
        xcb_get_property_cookie_t type;
        xcb_get_property_cookie_t name;
        xcb_get_property_cookie_t legacyName;
        xcb_get_property_cookie_t windowClass;
    };
    std::vector<Pending> pending;
    pending.reserve(windows.size());
    for (xcb_window_t window : windows) {
        pending.push_back(Pending{
            xcb_get_window_attributes(c, window), xcb_get_geometry(c, window),
            xcb_translate_coordinates(c, window, connection_.root(), 0, 0),
            xcb_get_property(c, 0, window, atoms.netWmState, XCB_ATOM_ATOM, 0, 64),
            xcb_get_property(c, 0, window, atoms.netWmWindowType, XCB_ATOM_ATOM, 0, 64),
            xcb_get_property(c, 0, window, atoms.netWmName, atoms.utf8String, 0, kMaximumTextLength),
            xcb_get_property(c, 0, window, XCB_ATOM_WM_NAME, XCB_GET_PROPERTY_TYPE_ANY, 0, kMaximumTextLength),
            xcb_get_property(c, 0, window, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 0, kMaximumTextLength)});
    }
    std::vector<ClientWindowFacts> facts;
    facts.reserve(windows.size());
    for (size_t i = 0; i < windows.size(); ++i) {
        auto attributes = takeReply<xcb_get_window_attributes_reply_t>(c, pending[i].attributes,
                                                                       xcb_get_window_attributes_reply);
        auto geometry = takeReply<xcb_get_geometry_reply_t>(c, pending[i].geometry, xcb_get_geometry_reply);
        auto origin = takeReply<xcb_translate_coordinates_reply_t>(c, pending[i].origin,
                                                                   xcb_translate_coordinates_reply);
        auto state = takeReply<xcb_get_property_reply_t>(c, pending[i].state, xcb_get_property_reply);
        auto type = takeReply<xcb_get_property_reply_t>(c, pending[i].type, xcb_get_property_reply);
        auto name = takeReply<xcb_get_property_reply_t>(c, pending[i].name, xcb_get_property_reply);
        auto legacyName = takeReply<xcb_get_property_reply_t>(c, pending[i].legacyName, xcb_get_property_reply);
        auto windowClass = takeReply<xcb_get_property_reply_t>(c, pending[i].windowClass, xcb_get_property_reply);
        // A window destroyed since the list was read answers with errors: it is simply gone.
        if (!attributes || !geometry || !origin) continue;
        if (!managed && (attributes->override_redirect || attributes->_class == XCB_WINDOW_CLASS_INPUT_ONLY)) continue;
        ClientWindowFacts window;
        window.id = windows[i];
        window.frame = common::Rect{static_cast<double>(origin->dst_x), static_cast<double>(origin->dst_y),
                                    static_cast<double>(geometry->width), static_cast<double>(geometry->height)};
        window.viewable = attributes->map_state == XCB_MAP_STATE_VIEWABLE;
        window.hidden = listContains(state.get(), atoms.netWmStateHidden);
        window.desktop = listContains(type.get(), atoms.netWmWindowTypeDesktop);
        window.title = textOf(name.get());
        if (window.title.empty()) window.title = textOf(legacyName.get());
        window.applicationName = classNameOf(windowClass.get());
        facts.push_back(window);
    }
    for (auto& window : facts) window.pid = processOf(window.id);
    forgetAllBut(processCache_, windows);
    return facts;
}

std::vector<TopLevelFacts> WindowInspector::topLevels() {
    xcb_connection_t* c = connection_.get();
    const std::vector<xcb_window_t> children = rootChildren();

    // Which frame holds which client, so a frame counts as its client's process.
    std::unordered_map<xcb_window_t, xcb_window_t> clientOfTopLevel;
    const std::vector<xcb_window_t> clients = windowListProperty(connection_.atoms().netClientList);
    for (xcb_window_t client : clients) {
        if (auto topLevel = topLevelOf(client)) clientOfTopLevel[*topLevel] = client;
    }
    forgetAllBut(topLevelCache_, clients);

    struct Pending {
        xcb_get_window_attributes_cookie_t attributes;
        xcb_get_geometry_cookie_t geometry;
    };
    std::vector<Pending> pending;
    pending.reserve(children.size());
    for (xcb_window_t child : children) {
        pending.push_back(Pending{xcb_get_window_attributes(c, child), xcb_get_geometry(c, child)});
    }
    std::vector<TopLevelFacts> facts;
    for (size_t i = 0; i < children.size(); ++i) {
        auto attributes = takeReply<xcb_get_window_attributes_reply_t>(c, pending[i].attributes,
                                                                       xcb_get_window_attributes_reply);
        auto geometry = takeReply<xcb_get_geometry_reply_t>(c, pending[i].geometry, xcb_get_geometry_reply);
        if (!attributes || !geometry) continue;
        if (attributes->map_state != XCB_MAP_STATE_VIEWABLE) continue;
        if (attributes->_class == XCB_WINDOW_CLASS_INPUT_ONLY) continue;  // shows no pixels
        const int border = geometry->border_width;
        TopLevelFacts topLevel;
        topLevel.id = children[i];
        topLevel.rect = PixelRect{geometry->x, geometry->y, geometry->width + 2 * border, geometry->height + 2 * border};
        topLevel.border = border;
        facts.push_back(topLevel);
    }
    std::vector<xcb_window_t> owners;
    for (auto& topLevel : facts) {
        const auto client = clientOfTopLevel.find(topLevel.id);
        const xcb_window_t owner = client != clientOfTopLevel.end() ? client->second : topLevel.id;
        topLevel.pid = processOf(owner);
        owners.push_back(owner);
        if (client == clientOfTopLevel.end()) {
            if (auto inside = processInside(topLevel.id, topLevel.pid)) topLevel.pid = inside;
        }
    }
    forgetAllBut(processCache_, owners);
    std::vector<xcb_window_t> topLevelIds;
    for (const auto& topLevel : facts) topLevelIds.push_back(topLevel.id);
    forgetAllBut(insideCache_, topLevelIds);
    return facts;
}

// A window manager maps a new frame a moment before it lists the client it holds; until then the
// frame would count as the window manager's own and an excluded program's new window would show.
// The client is already inside the frame when it is mapped, so its owner is found a few levels down.
std::optional<int32_t> WindowInspector::processInside(xcb_window_t topLevel, std::optional<int32_t> own) {
    if (const auto cached = insideCache_.find(topLevel); cached != insideCache_.end()) return cached->second;
    if (!connection_.extensions().resClientIds) return std::nullopt;
    xcb_connection_t* c = connection_.get();
    std::optional<int32_t> found;
    std::vector<xcb_window_t> level{topLevel};
    // Frames nest the client one or two levels deep; each level costs two round trips.
    for (int depth = 0; depth < 3 && !found && !level.empty(); ++depth) {
        std::vector<xcb_query_tree_cookie_t> cookies;
        cookies.reserve(level.size());
        for (xcb_window_t window : level) cookies.push_back(xcb_query_tree(c, window));
        std::vector<xcb_window_t> children;
        for (auto cookie : cookies) {
            auto tree = takeReply<xcb_query_tree_reply_t>(c, cookie, xcb_query_tree_reply);
            if (!tree) continue;
            const xcb_window_t* first = xcb_query_tree_children(tree.get());
            children.insert(children.end(), first, first + xcb_query_tree_children_length(tree.get()));
        }
        if (children.empty()) break;
        std::vector<xcb_res_client_id_spec_t> specs;
        specs.reserve(children.size());
        for (xcb_window_t child : children) specs.push_back({child, XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID});
        auto reply = takeReply<xcb_res_query_client_ids_reply_t>(
            c, xcb_res_query_client_ids(c, static_cast<uint32_t>(specs.size()), specs.data()),
            xcb_res_query_client_ids_reply);
        if (!reply) break;
        for (auto it = xcb_res_query_client_ids_ids_iterator(reply.get()); it.rem > 0;
             xcb_res_client_id_value_next(&it)) {
            if (xcb_res_client_id_value_value_length(it.data) < 1) continue;
            const uint32_t pid = *xcb_res_client_id_value_value(it.data);
            if (pid == 0 || pid > static_cast<uint32_t>(INT32_MAX) || static_cast<int32_t>(pid) == own) continue;
            found = static_cast<int32_t>(pid);
            break;
        }
        level = std::move(children);
    }
    insideCache_[topLevel] = found;
    return found;
}

std::optional<xcb_window_t> WindowInspector::topLevelOf(xcb_window_t client) {
    if (const auto cached = topLevelCache_.find(client); cached != topLevelCache_.end()) return cached->second;
    xcb_connection_t* c = connection_.get();
    xcb_window_t window = client;
    // Frames nest only a few levels deep; the bound guards against a tree that changes under us.
    for (int depth = 0; depth < 16; ++depth) {
        auto tree = takeReply<xcb_query_tree_reply_t>(c, xcb_query_tree(c, window), xcb_query_tree_reply);
        if (!tree) return std::nullopt;
        if (tree->parent == connection_.root()) {
            topLevelCache_[client] = window;
            return window;
        }
        if (tree->parent == XCB_NONE) return std::nullopt;
        window = tree->parent;
    }
    return std::nullopt;
}

std::optional<int32_t> WindowInspector::processOf(xcb_window_t window) {
    if (const auto cached = processCache_.find(window); cached != processCache_.end()) return cached->second;
    std::optional<int32_t> pid = processFromProperty(window);
    if (!pid) pid = processFromResources(window);
    // Only answers are remembered: a window may set its pid property after it was first seen.
    if (pid) processCache_[window] = *pid;
    return pid;
}

std::optional<int32_t> WindowInspector::processFromProperty(xcb_window_t window) {
    xcb_connection_t* c = connection_.get();
    auto reply = takeReply<xcb_get_property_reply_t>(
        c, xcb_get_property(c, 0, window, connection_.atoms().netWmPid, XCB_ATOM_CARDINAL, 0, 1),
        xcb_get_property_reply);
    if (!reply || reply->type != XCB_ATOM_CARDINAL || reply->format != 32 ||
        xcb_get_property_value_length(reply.get()) < 4) {
        return std::nullopt;
    }
    const uint32_t pid = *static_cast<const uint32_t*>(xcb_get_property_value(reply.get()));
    if (pid == 0 || pid > static_cast<uint32_t>(INT32_MAX)) return std::nullopt;
    return static_cast<int32_t>(pid);
}

// Many programs never set _NET_WM_PID; the server itself knows the process of each local client.
std::optional<int32_t> WindowInspector::processFromResources(xcb_window_t window) {
    if (!connection_.extensions().resClientIds) return std::nullopt;
    xcb_connection_t* c = connection_.get();
    xcb_res_client_id_spec_t spec{window, XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID};
    auto reply = takeReply<xcb_res_query_client_ids_reply_t>(c, xcb_res_query_client_ids(c, 1, &spec),
                                                             xcb_res_query_client_ids_reply);
    if (!reply) return std::nullopt;
    for (auto it = xcb_res_query_client_ids_ids_iterator(reply.get()); it.rem > 0; xcb_res_client_id_value_next(&it)) {
        if ((it.data->spec.mask & XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID) == 0) continue;
        if (xcb_res_client_id_value_value_length(it.data) < 1) continue;
        const uint32_t pid = *xcb_res_client_id_value_value(it.data);
        if (pid != 0 && pid <= static_cast<uint32_t>(INT32_MAX)) return static_cast<int32_t>(pid);
    }
    return std::nullopt;
}

std::vector<int32_t> WindowInspector::clientProcesses() {
    if (!connection_.extensions().resClientIds) return {};
    xcb_connection_t* c = connection_.get();
    // Client 0 asks about every client at once.
    xcb_res_client_id_spec_t everyClient{0, XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID};
    auto reply = takeReply<xcb_res_query_client_ids_reply_t>(c, xcb_res_query_client_ids(c, 1, &everyClient),
                                                             xcb_res_query_client_ids_reply);
    if (!reply) return {};
    std::vector<int32_t> pids;
    pids.reserve(static_cast<size_t>(reply->num_ids));
    for (auto it = xcb_res_query_client_ids_ids_iterator(reply.get()); it.rem > 0; xcb_res_client_id_value_next(&it)) {
        if ((it.data->spec.mask & XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID) == 0) continue;
        if (xcb_res_client_id_value_value_length(it.data) < 1) continue;
        const uint32_t pid = *xcb_res_client_id_value_value(it.data);
        if (pid != 0 && pid <= static_cast<uint32_t>(INT32_MAX)) pids.push_back(static_cast<int32_t>(pid));
    }
    return pids;
}

template <class Map>
void WindowInspector::forgetAllBut(Map& cache, const std::vector<xcb_window_t>& alive) {
    // Keeps the caches as small as the desktop, so a long recording never accumulates windows.
    if (cache.size() <= alive.size() * 2 + 16) return;
    const std::unordered_set<xcb_window_t> keep(alive.begin(), alive.end());
    std::erase_if(cache, [&](const auto& entry) { return keep.count(entry.first) == 0; });
}

}  // namespace recorder::linux_backend::x11
