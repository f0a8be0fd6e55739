#include "capture/x11/windows.h"

#include <algorithm>
#include <deque>
#include <fstream>
#include <xcb/randr.h>
#include <xcb/res.h>

namespace lumatap::x11 {
namespace {

Reply<xcb_get_property_reply_t> property(Connection& c, xcb_window_t window, xcb_atom_t name,
                                         xcb_atom_t type, std::uint32_t longs = 1024) {
    auto cookie = xcb_get_property(c.get(), 0, window, name, type, 0, longs);
    return Reply<xcb_get_property_reply_t>(xcb_get_property_reply(c.get(), cookie, nullptr));
}

std::vector<xcb_atom_t> atomList(const xcb_get_property_reply_t* reply) {
    if (!reply || reply->format != 32) {
        return {};
    }
    auto* data = static_cast<const xcb_atom_t*>(xcb_get_property_value(reply));
    int count = xcb_get_property_value_length(reply) / 4;
    return {data, data + count};
}

std::string text(const xcb_get_property_reply_t* reply) {
    auto* data = static_cast<const char*>(xcb_get_property_value(reply));
    return std::string(data, static_cast<std::size_t>(xcb_get_property_value_length(reply)));
}

std::string latin1ToUtf8(const std::string& in) {
    std::string out;
    for (unsigned char c : in) {
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

bool hasWindowManager(Connection& c) {
    xcb_atom_t check = c.atom("_NET_SUPPORTING_WM_CHECK");
    auto onRoot = property(c, c.root(), check, XCB_ATOM_WINDOW, 1);
    if (!onRoot || xcb_get_property_value_length(onRoot.get()) < 4) {
        return false;
    }
    xcb_window_t child = *static_cast<const xcb_window_t*>(xcb_get_property_value(onRoot.get()));
    // A manager that died leaves a stale id behind; the child must point at itself.
    auto onChild = property(c, child, check, XCB_ATOM_WINDOW, 1);
    return onChild && xcb_get_property_value_length(onChild.get()) >= 4 &&
           *static_cast<const xcb_window_t*>(xcb_get_property_value(onChild.get())) == child;
}

std::vector<xcb_window_t> rootChildren(Connection& c) {
    auto cookie = xcb_query_tree(c.get(), c.root());
    Reply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(c.get(), cookie, nullptr));
    if (!tree) {
        return {};
    }
    auto* children = xcb_query_tree_children(tree.get());
    return {children, children + xcb_query_tree_children_length(tree.get())};
}

// Every atom this file asks for, interned together the first time any of them is needed.
void preloadAtoms(Connection& c) {
    c.preload({"_NET_SUPPORTING_WM_CHECK",
               "_NET_CLIENT_LIST_STACKING",
               "WM_STATE",
               "UTF8_STRING",
               "_NET_WM_NAME",
               "_NET_WM_WINDOW_TYPE",
               "_NET_WM_STATE",
               "_NET_WM_PID",
               "_NET_WM_WINDOW_TYPE_NORMAL",
               "_NET_WM_WINDOW_TYPE_DIALOG",
               "_NET_WM_WINDOW_TYPE_DESKTOP",
               "_NET_WM_WINDOW_TYPE_DOCK",
               "_NET_WM_WINDOW_TYPE_UTILITY",
               "_NET_WM_WINDOW_TYPE_TOOLBAR",
               "_NET_WM_WINDOW_TYPE_NOTIFICATION",
               "_NET_WM_WINDOW_TYPE_TOOLTIP",
               "_NET_WM_WINDOW_TYPE_SPLASH",
               "_NET_WM_WINDOW_TYPE_MENU",
               "_NET_WM_WINDOW_TYPE_DROPDOWN_MENU",
               "_NET_WM_WINDOW_TYPE_POPUP_MENU",
               "_NET_WM_WINDOW_TYPE_COMBO",
               "_NET_WM_WINDOW_TYPE_DND",
               "_NET_WM_STATE_ABOVE",
               "_NET_WM_STATE_BELOW"});
}

std::optional<ProcessID> resourcePid(const xcb_res_query_client_ids_reply_t* reply) {
    if (!reply) {
        return std::nullopt;
    }
    // Only process ids were asked for, so every value that came back is one.
    for (auto it = xcb_res_query_client_ids_ids_iterator(reply); it.rem;
         xcb_res_client_id_value_next(&it)) {
        if (xcb_res_client_id_value_value_length(it.data) >= 1) {
            return static_cast<ProcessID>(*xcb_res_client_id_value_value(it.data));
        }
    }
    return std::nullopt;
}

std::int64_t layerOf(Connection& c, const std::vector<xcb_atom_t>& types,
                     const std::vector<xcb_atom_t>& states, bool overrideRedirect) {
    // Layers follow the usual stacking of desktops: below 0 what sits under normal windows,
    // above 0 what floats over them.
    if (overrideRedirect) {
        return 101;
    }
    for (xcb_atom_t type : types) {
        if (type == c.atom("_NET_WM_WINDOW_TYPE_NORMAL") ||
            type == c.atom("_NET_WM_WINDOW_TYPE_DIALOG")) {
            break;
        }
        if (type == c.atom("_NET_WM_WINDOW_TYPE_DESKTOP")) {
            return -2147483623;
        }
        if (type == c.atom("_NET_WM_WINDOW_TYPE_DOCK")) {
            return 20;
        }
        if (type == c.atom("_NET_WM_WINDOW_TYPE_UTILITY") ||
            type == c.atom("_NET_WM_WINDOW_TYPE_TOOLBAR")) {
            return 3;
        }
        if (type == c.atom("_NET_WM_WINDOW_TYPE_NOTIFICATION") ||
            type == c.atom("_NET_WM_WINDOW_TYPE_TOOLTIP") ||
            type == c.atom("_NET_WM_WINDOW_TYPE_SPLASH") ||
            type == c.atom("_NET_WM_WINDOW_TYPE_MENU") ||
            type == c.atom("_NET_WM_WINDOW_TYPE_DROPDOWN_MENU") ||
            type == c.atom("_NET_WM_WINDOW_TYPE_POPUP_MENU") ||
            type == c.atom("_NET_WM_WINDOW_TYPE_COMBO") ||
            type == c.atom("_NET_WM_WINDOW_TYPE_DND")) {
            return 101;
        }
    }
    for (xcb_atom_t state : states) {
        if (state == c.atom("_NET_WM_STATE_ABOVE")) {
            return 3;
        }
        if (state == c.atom("_NET_WM_STATE_BELOW")) {
            return -1;
        }
    }
    return 0;
}

} // namespace

std::vector<Monitor> monitors(Connection& c) {
    std::vector<Monitor> all;
    if (c.hasExtension(&xcb_randr_id)) {
        // Both asked at once: the server reads the version first, and a server without 1.5
        // refuses the second request, whose error is then dropped.
        auto version = xcb_randr_query_version(c.get(), 1, 5);
        auto cookie = xcb_randr_get_monitors(c.get(), c.root(), 1);
        Reply<xcb_randr_query_version_reply_t> v(
            xcb_randr_query_version_reply(c.get(), version, nullptr));
        if (!v || (v->major_version == 1 && v->minor_version < 5)) {
            xcb_discard_reply(c.get(), cookie.sequence);
        } else {
            Reply<xcb_randr_get_monitors_reply_t> reply(
                xcb_randr_get_monitors_reply(c.get(), cookie, nullptr));
            if (reply) {
                for (auto it = xcb_randr_get_monitors_monitors_iterator(reply.get()); it.rem;
                     xcb_randr_monitor_info_next(&it)) {
                    all.push_back({it.data->name, it.data->primary != 0, it.data->x, it.data->y,
                                   it.data->width, it.data->height});
                }
            }
        }
    }
    if (all.empty()) {
        // Without monitors the screen itself is the one display; its root window id names it.
        const auto& s = c.screen();
        all.push_back({s.root, true, 0, 0, s.width_in_pixels, s.height_in_pixels});
    }
    return all;
}

std::optional<Monitor> mainMonitor(const std::vector<Monitor>& all) {
    for (const auto& m : all) {
        if (m.primary) {
            return m;
        }
    }
    if (all.empty()) {
        return std::nullopt;
    }
    return all.front();
}

xcb_window_t clientOf(Connection& c, xcb_window_t top) {
    xcb_atom_t wmState = c.atom("WM_STATE");
    // Breadth first: the client is usually one or two levels below the manager's frame.
    std::deque<xcb_window_t> queue{top};
    int visited = 0;
    while (!queue.empty() && visited < 64) {
        xcb_window_t window = queue.front();
        queue.pop_front();
        ++visited;
        auto state = property(c, window, wmState, XCB_ATOM_ANY, 0);
        if (state && state->type != XCB_ATOM_NONE) {
            return window;
        }
        auto cookie = xcb_query_tree(c.get(), window);
        Reply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(c.get(), cookie, nullptr));
        if (tree) {
            auto* children = xcb_query_tree_children(tree.get());
            queue.insert(queue.end(), children,
                         children + xcb_query_tree_children_length(tree.get()));
        }
    }
    return top;
}

std::vector<xcb_window_t> clientWindows(Connection& c) {
    preloadAtoms(c);
    std::vector<xcb_window_t> windows;
    if (hasWindowManager(c)) {
        auto list =
            property(c, c.root(), c.atom("_NET_CLIENT_LIST_STACKING"), XCB_ATOM_WINDOW, 1u << 16);
        if (list && list->format == 32) {
            auto* data = static_cast<const xcb_window_t*>(xcb_get_property_value(list.get()));
            windows.assign(data, data + xcb_get_property_value_length(list.get()) / 4);
        }
    } else {
        for (xcb_window_t top : rootChildren(c)) {
            windows.push_back(clientOf(c, top));
        }
    }
    // Both sources list bottom to top.
    std::reverse(windows.begin(), windows.end());
    return windows;
}

std::vector<Stacked> stacking(Connection& c) {
    preloadAtoms(c);
    std::vector<xcb_window_t> tops = rootChildren(c);
    std::vector<xcb_get_window_attributes_cookie_t> cookies;
    cookies.reserve(tops.size());
    for (xcb_window_t top : tops) {
        cookies.push_back(xcb_get_window_attributes(c.get(), top));
    }
    std::vector<Stacked> stacked;
    for (std::size_t i = tops.size(); i-- > 0;) {
        Reply<xcb_get_window_attributes_reply_t> attributes(
            xcb_get_window_attributes_reply(c.get(), cookies[i], nullptr));
        if (!attributes) {
            continue;
        }
        bool viewable = attributes->map_state == XCB_MAP_STATE_VIEWABLE;
        // Unmapped top-levels cannot be on screen; skip the search for their clients.
        stacked.push_back({viewable ? clientOf(c, tops[i]) : tops[i], viewable});
    }
    return stacked;
}

std::vector<WindowFacts> describe(Connection& c, const std::vector<xcb_window_t>& ids) {
    struct Pending {
        xcb_get_window_attributes_cookie_t attributes;
        xcb_get_geometry_cookie_t geometry;
        xcb_translate_coordinates_cookie_t origin;
        xcb_get_property_cookie_t netName, name, type, state, wmClass, pid;
        std::optional<xcb_res_query_client_ids_cookie_t> owner;
    };
    preloadAtoms(c);
    bool resources = c.hasExtension(&xcb_res_id);
    xcb_atom_t utf8 = c.atom("UTF8_STRING");
    xcb_atom_t netName = c.atom("_NET_WM_NAME");
    xcb_atom_t netType = c.atom("_NET_WM_WINDOW_TYPE");
    xcb_atom_t netState = c.atom("_NET_WM_STATE");
    xcb_atom_t netPid = c.atom("_NET_WM_PID");
    // Ask everything first and read the answers after, so that the whole list costs about one
    // round trip instead of several per window.
    std::vector<Pending> pending;
    pending.reserve(ids.size());
    for (xcb_window_t id : ids) {
        auto* x = c.get();
        pending.push_back({xcb_get_window_attributes(x, id), xcb_get_geometry(x, id),
                           xcb_translate_coordinates(x, id, c.root(), 0, 0),
                           xcb_get_property(x, 0, id, netName, utf8, 0, 1024),
                           xcb_get_property(x, 0, id, XCB_ATOM_WM_NAME, XCB_ATOM_ANY, 0, 1024),
                           xcb_get_property(x, 0, id, netType, XCB_ATOM_ATOM, 0, 64),
                           xcb_get_property(x, 0, id, netState, XCB_ATOM_ATOM, 0, 64),
                           xcb_get_property(x, 0, id, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 0, 256),
                           xcb_get_property(x, 0, id, netPid, XCB_ATOM_CARDINAL, 0, 1),
                           std::nullopt});
        if (resources) {
            xcb_res_client_id_spec_t query{id, XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID};
            pending.back().owner = xcb_res_query_client_ids(x, 1, &query);
        }
    }
    std::vector<WindowFacts> facts;
    for (std::size_t i = 0; i < ids.size(); ++i) {
        auto* x = c.get();
        const Pending& p = pending[i];
        Reply<xcb_get_window_attributes_reply_t> attributes(
            xcb_get_window_attributes_reply(x, p.attributes, nullptr));
        Reply<xcb_get_geometry_reply_t> geometry(xcb_get_geometry_reply(x, p.geometry, nullptr));
        Reply<xcb_translate_coordinates_reply_t> origin(
            xcb_translate_coordinates_reply(x, p.origin, nullptr));
        Reply<xcb_get_property_reply_t> netNameReply(xcb_get_property_reply(x, p.netName, nullptr));
        Reply<xcb_get_property_reply_t> nameReply(xcb_get_property_reply(x, p.name, nullptr));
        Reply<xcb_get_property_reply_t> typeReply(xcb_get_property_reply(x, p.type, nullptr));
        Reply<xcb_get_property_reply_t> stateReply(xcb_get_property_reply(x, p.state, nullptr));
        Reply<xcb_get_property_reply_t> classReply(xcb_get_property_reply(x, p.wmClass, nullptr));
        Reply<xcb_get_property_reply_t> pidReply(xcb_get_property_reply(x, p.pid, nullptr));
        Reply<xcb_res_query_client_ids_reply_t> ownerReply(
            p.owner ? xcb_res_query_client_ids_reply(x, *p.owner, nullptr) : nullptr);
        if (!attributes || !geometry || !origin) {
            continue;
        }
        WindowFacts f;
        f.id = ids[i];
        f.x = origin->dst_x;
        f.y = origin->dst_y;
        f.width = geometry->width;
        f.height = geometry->height;
        f.viewable = attributes->map_state == XCB_MAP_STATE_VIEWABLE;
        if (netNameReply && netNameReply->type == utf8) {
            f.title = text(netNameReply.get());
        } else if (nameReply && nameReply->type != XCB_ATOM_NONE) {
            std::string name = text(nameReply.get());
            f.title = nameReply->type == XCB_ATOM_STRING ? latin1ToUtf8(name) : name;
        }
        auto types = atomList(typeReply.get());
        f.desktop = std::find(types.begin(), types.end(), c.atom("_NET_WM_WINDOW_TYPE_DESKTOP")) !=
                    types.end();
        f.layer = layerOf(c, types, atomList(stateReply.get()), attributes->override_redirect);
        if (classReply && classReply->type == XCB_ATOM_STRING) {
            // WM_CLASS holds the instance name and then the class name, each ending in a NUL.
            std::string both = text(classReply.get());
            auto split = both.find('\0');
            if (split != std::string::npos) {
                std::string cls = both.substr(split + 1);
                if (auto end = cls.find('\0'); end != std::string::npos) {
                    cls.resize(end);
                }
                if (!cls.empty()) {
                    f.windowClass = latin1ToUtf8(cls);
                }
            }
        }
        f.pid = resourcePid(ownerReply.get());
        if (!f.pid && pidReply && pidReply->format == 32 &&
            xcb_get_property_value_length(pidReply.get()) >= 4) {
            f.pid = static_cast<ProcessID>(
                *static_cast<const std::uint32_t*>(xcb_get_property_value(pidReply.get())));
        }
        facts.push_back(std::move(f));
    }
    return facts;
}

std::string processName(ProcessID pid) {
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(comm, name);
    return name;
}

} // namespace lumatap::x11
