#include "capture/x11/windows.h"

#include "capture/x11/frame_extents.h"
#include "capture/x11/text.h"

#include <algorithm>
#include <unistd.h>
#include <unordered_map>
#include <unordered_set>
#include <xcb/randr.h>
#include <xcb/res.h>

namespace lumatap::x11 {
namespace {

// Properties are read whole: titles of any length, client lists of any desktop.
constexpr std::uint32_t wholeProperty = 1u << 24;
// How deep under a top-level a client is looked for: managers put it one or two levels down.
constexpr int deepestClient = 4;
// _NET_WM_DESKTOP of a window shown on every workspace.
constexpr std::uint32_t allDesktops = 0xFFFFFFFF;
// WM_STATE of a minimised window.
constexpr std::uint32_t iconicState = 3;

using PropertyReply = Reply<xcb_get_property_reply_t>;

xcb_get_property_cookie_t ask(xcb_connection_t* x, xcb_window_t window, xcb_atom_t name,
                              xcb_atom_t type, std::uint32_t longs = wholeProperty) {
    return xcb_get_property(x, 0, window, name, type, 0, longs);
}

PropertyReply answer(xcb_connection_t* x, xcb_get_property_cookie_t cookie) {
    return PropertyReply(xcb_get_property_reply(x, cookie, nullptr));
}

Reply<xcb_query_tree_reply_t> answer(xcb_connection_t* x, xcb_query_tree_cookie_t cookie) {
    return Reply<xcb_query_tree_reply_t>(xcb_query_tree_reply(x, cookie, nullptr));
}

Reply<xcb_get_window_attributes_reply_t> answer(xcb_connection_t* x,
                                                xcb_get_window_attributes_cookie_t cookie) {
    return Reply<xcb_get_window_attributes_reply_t>(
        xcb_get_window_attributes_reply(x, cookie, nullptr));
}

std::vector<std::uint32_t> cardinals(const xcb_get_property_reply_t* reply) {
    if (!reply || reply->format != 32) {
        return {};
    }
    auto* data = static_cast<const std::uint32_t*>(xcb_get_property_value(reply));
    return {data, data + xcb_get_property_value_length(reply) / 4};
}

std::optional<std::uint32_t> cardinal(const xcb_get_property_reply_t* reply) {
    auto values = cardinals(reply);
    if (values.empty()) {
        return std::nullopt;
    }
    return values.front();
}

std::string text(const xcb_get_property_reply_t* reply) {
    auto* data = static_cast<const char*>(xcb_get_property_value(reply));
    return std::string(data, static_cast<std::size_t>(xcb_get_property_value_length(reply)));
}

std::vector<xcb_window_t> children(const xcb_query_tree_reply_t* tree) {
    if (!tree) {
        return {};
    }
    auto* data = xcb_query_tree_children(tree);
    return {data, data + xcb_query_tree_children_length(tree)};
}

bool contains(const std::vector<std::uint32_t>& values, xcb_atom_t atom) {
    return atom != XCB_ATOM_NONE && std::find(values.begin(), values.end(), atom) != values.end();
}

// Every atom this file asks for, interned together the first time any of them is needed.
void preloadAtoms(Connection& c) {
    c.preload({"_NET_SUPPORTING_WM_CHECK",
               "_NET_CLIENT_LIST_STACKING",
               "_NET_CLIENT_LIST",
               "_NET_CURRENT_DESKTOP",
               "_NET_WM_DESKTOP",
               "WM_STATE",
               "UTF8_STRING",
               "COMPOUND_TEXT",
               "_NET_WM_NAME",
               "_NET_WM_WINDOW_TYPE",
               "_NET_WM_STATE",
               "_NET_WM_STATE_HIDDEN",
               "_NET_WM_PID",
               "_GTK_FRAME_EXTENTS",
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
               "_NET_WM_WINDOW_TYPE_DND"});
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

std::int64_t layerOf(Connection& c, const std::vector<std::uint32_t>& types,
                     bool overrideRedirect) {
    // Layers follow the usual stacking of desktops: below 0 what sits under normal windows,
    // above 0 what floats over them. A normal window that a person keeps above or below the
    // others is still a normal window.
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
    return 0;
}

// Whether the manager keeps a window out of view while it stays mapped: minimised, hidden, or
// on another workspace. `currentDesktop` is none where the manager has no workspaces.
bool hiddenByManager(Connection& c, const xcb_get_property_reply_t* wmState,
                     const xcb_get_property_reply_t* netState,
                     const xcb_get_property_reply_t* desktop,
                     std::optional<std::uint32_t> currentDesktop) {
    if (cardinal(wmState) == iconicState) {
        return true;
    }
    if (contains(cardinals(netState), c.atom("_NET_WM_STATE_HIDDEN"))) {
        return true;
    }
    auto on = cardinal(desktop);
    return currentDesktop && on && *on != allDesktops && *on != *currentDesktop;
}

// The window tree at one moment: the root's children and, for each, the client window in it.
struct Tree {
    std::vector<xcb_window_t> tops; // bottom to top
    std::vector<bool> topMapped;
    std::unordered_map<xcb_window_t, xcb_window_t> clientOfTop;
    std::vector<xcb_window_t> clients; // front to back
    std::optional<std::uint32_t> currentDesktop;
};

// Finds, level by level, the client under each of `tops` that has none yet: the first window
// with WM_STATE, breadth first. Each level is one batch of requests for all tops at once.
void walkForClients(Connection& c, const std::vector<xcb_window_t>& tops, Tree& tree) {
    xcb_connection_t* x = c.get();
    xcb_atom_t wmState = c.atom("WM_STATE");
    struct Search {
        xcb_window_t top;
        std::vector<xcb_window_t> level;
    };
    std::vector<Search> searches;
    for (xcb_window_t top : tops) {
        searches.push_back({top, {top}});
    }
    for (int depth = 0; depth < deepestClient && !searches.empty(); ++depth) {
        // The windows of this level that carry WM_STATE, and the children of all of them.
        std::vector<std::vector<xcb_get_property_cookie_t>> states(searches.size());
        std::vector<std::vector<xcb_query_tree_cookie_t>> trees(searches.size());
        for (std::size_t i = 0; i < searches.size(); ++i) {
            for (xcb_window_t w : searches[i].level) {
                states[i].push_back(ask(x, w, wmState, XCB_ATOM_ANY, 0));
                trees[i].push_back(xcb_query_tree(x, w));
            }
        }
        std::vector<Search> deeper;
        for (std::size_t i = 0; i < searches.size(); ++i) {
            std::optional<xcb_window_t> found;
            std::vector<xcb_window_t> next;
            for (std::size_t k = 0; k < searches[i].level.size(); ++k) {
                auto state = answer(x, states[i][k]);
                auto subtree = answer(x, trees[i][k]);
                if (!found && state && state->type != XCB_ATOM_NONE) {
                    found = searches[i].level[k];
                }
                auto below = children(subtree.get());
                next.insert(next.end(), below.begin(), below.end());
            }
            if (found) {
                tree.clientOfTop[searches[i].top] = *found;
            } else if (!next.empty()) {
                deeper.push_back({searches[i].top, std::move(next)});
            }
        }
        searches = std::move(deeper);
    }
}

// Finds the top-level that holds each client, by walking up from the clients: one batch per
// level, and managers put clients one or two levels down.
void parentsOfClients(Connection& c, const std::vector<xcb_window_t>& clients, Tree& tree) {
    xcb_connection_t* x = c.get();
    std::unordered_set<xcb_window_t> isTop(tree.tops.begin(), tree.tops.end());
    struct Climb {
        xcb_window_t client;
        xcb_window_t at;
    };
    std::vector<Climb> climbs;
    for (xcb_window_t client : clients) {
        if (isTop.count(client)) {
            tree.clientOfTop[client] = client;
        } else {
            climbs.push_back({client, client});
        }
    }
    for (int depth = 0; depth < deepestClient && !climbs.empty(); ++depth) {
        std::vector<xcb_query_tree_cookie_t> cookies;
        for (const Climb& climb : climbs) {
            cookies.push_back(xcb_query_tree(x, climb.at));
        }
        std::vector<Climb> higher;
        for (std::size_t i = 0; i < climbs.size(); ++i) {
            auto reply = answer(x, cookies[i]);
            if (!reply || reply->parent == XCB_WINDOW_NONE) {
                continue;
            }
            if (isTop.count(reply->parent)) {
                tree.clientOfTop.try_emplace(reply->parent, climbs[i].client);
            } else if (reply->parent != c.root()) {
                higher.push_back({climbs[i].client, reply->parent});
            }
        }
        climbs = std::move(higher);
    }
}

// Reads the tree in a few batches. With `wantClients`, also settles the list of clients.
std::optional<Tree> readTree(Connection& c, bool wantClients) {
    preloadAtoms(c);
    xcb_connection_t* x = c.get();
    xcb_window_t root = c.root();
    auto checkCookie = ask(x, root, c.atom("_NET_SUPPORTING_WM_CHECK"), XCB_ATOM_WINDOW, 1);
    auto stackingCookie = ask(x, root, c.atom("_NET_CLIENT_LIST_STACKING"), XCB_ATOM_WINDOW);
    auto listCookie = ask(x, root, c.atom("_NET_CLIENT_LIST"), XCB_ATOM_WINDOW);
    auto desktopCookie = ask(x, root, c.atom("_NET_CURRENT_DESKTOP"), XCB_ATOM_CARDINAL, 1);
    auto rootTreeCookie = xcb_query_tree(x, root);
    auto check = answer(x, checkCookie);
    auto stackingList = answer(x, stackingCookie);
    auto clientList = answer(x, listCookie);
    auto currentDesktop = answer(x, desktopCookie);
    auto rootTree = answer(x, rootTreeCookie);
    if (!rootTree) {
        return std::nullopt;
    }

    Tree tree;
    tree.tops = children(rootTree.get());
    tree.currentDesktop = cardinal(currentDesktop.get());
    // The second batch: how each top-level is mapped, and whether the manager that the root
    // names is alive (a manager that died leaves a stale id behind; the live one's check
    // window points at itself).
    auto managerWindow = cardinal(check.get());
    std::optional<xcb_get_property_cookie_t> managerCookie;
    if (managerWindow) {
        managerCookie =
            ask(x, *managerWindow, c.atom("_NET_SUPPORTING_WM_CHECK"), XCB_ATOM_WINDOW, 1);
    }
    std::vector<xcb_get_window_attributes_cookie_t> attributeCookies;
    attributeCookies.reserve(tree.tops.size());
    for (xcb_window_t top : tree.tops) {
        attributeCookies.push_back(xcb_get_window_attributes(x, top));
    }
    bool manager = false;
    if (managerCookie) {
        auto self = answer(x, *managerCookie);
        manager = cardinal(self.get()) == managerWindow;
    }
    tree.topMapped.resize(tree.tops.size());
    for (std::size_t i = 0; i < tree.tops.size(); ++i) {
        auto attributes = answer(x, attributeCookies[i]);
        tree.topMapped[i] = attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE;
    }

    std::vector<xcb_window_t> managed;
    bool stacked = false;
    if (manager) {
        managed = cardinals(stackingList.get());
        stacked = !managed.empty();
        if (!stacked) {
            managed = cardinals(clientList.get());
        }
    }
    if (!managed.empty()) {
        parentsOfClients(c, managed, tree);
        if (!wantClients) {
            return tree;
        }
        if (stacked) {
            // Bottom to top, as the manager keeps it.
            tree.clients.assign(managed.rbegin(), managed.rend());
            return tree;
        }
        // The client list is in the order of mapping: put it in the order of the screen, front
        // to back. A client whose top-level was not found goes last.
        std::unordered_map<xcb_window_t, std::size_t> place;
        for (std::size_t i = 0; i < tree.tops.size(); ++i) {
            auto client = tree.clientOfTop.find(tree.tops[i]);
            if (client != tree.clientOfTop.end()) {
                place.try_emplace(client->second, tree.tops.size() - i);
            }
        }
        tree.clients = managed;
        std::stable_sort(tree.clients.begin(), tree.clients.end(),
                         [&](xcb_window_t a, xcb_window_t b) {
                             auto pa = place.find(a);
                             auto pb = place.find(b);
                             std::size_t ra = pa == place.end() ? SIZE_MAX : pa->second;
                             std::size_t rb = pb == place.end() ? SIZE_MAX : pb->second;
                             return ra < rb;
                         });
        return tree;
    }

    // No manager, or one that keeps no list: the clients are found in the tree. Unmapped
    // top-levels cannot show anything, and their clients (if any) are found by name only when
    // asked for.
    std::vector<xcb_window_t> mapped;
    for (std::size_t i = 0; i < tree.tops.size(); ++i) {
        if (tree.topMapped[i]) {
            mapped.push_back(tree.tops[i]);
        }
    }
    walkForClients(c, mapped, tree);
    if (wantClients) {
        // Without a manager, a top-level whose windows carry no WM_STATE is itself the window
        // a person sees; unmapped ones count too, since they can still be asked for by id.
        for (std::size_t i = tree.tops.size(); i-- > 0;) {
            auto client = tree.clientOfTop.find(tree.tops[i]);
            tree.clients.push_back(client == tree.clientOfTop.end() ? tree.tops[i]
                                                                    : client->second);
        }
    }
    return tree;
}

std::string hostName() {
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0) {
        return {};
    }
    return name;
}

// A monitor's id, from its name: the name's atom would do within one server generation, but a
// server that all clients have left starts a new one and numbers its atoms afresh, so the id
// that `list` printed would name nothing by the time `video` asks for it. Two names of one
// screen that come out alike are told apart by their order.
DisplayID monitorID(std::string_view name, const std::vector<Monitor>& before, std::size_t count) {
    std::uint32_t hash = 2166136261u;
    for (unsigned char c : name) {
        hash = (hash ^ c) * 16777619u;
    }
    auto taken = [&](std::uint32_t id) {
        return id == 0 ||
               std::any_of(before.begin(), before.begin() + static_cast<std::ptrdiff_t>(count),
                           [&](const Monitor& m) { return m.id == id; });
    };
    while (taken(hash)) {
        ++hash;
    }
    return hash;
}

} // namespace

ErrorPtr connectionLost() {
    return makeError(std::string(errorDomain), XCB_CONN_ERROR,
                     "the connection to the X server was lost");
}

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
                std::vector<xcb_get_atom_name_cookie_t> names;
                for (auto it = xcb_randr_get_monitors_monitors_iterator(reply.get()); it.rem;
                     xcb_randr_monitor_info_next(&it)) {
                    all.push_back({0, it.data->primary != 0, it.data->x, it.data->y, it.data->width,
                                   it.data->height});
                    names.push_back(xcb_get_atom_name(c.get(), it.data->name));
                }
                for (std::size_t i = 0; i < all.size(); ++i) {
                    Reply<xcb_get_atom_name_reply_t> name(
                        xcb_get_atom_name_reply(c.get(), names[i], nullptr));
                    std::string_view text;
                    if (name) {
                        text = {
                            xcb_get_atom_name_name(name.get()),
                            static_cast<std::size_t>(xcb_get_atom_name_name_length(name.get()))};
                    }
                    all[i].id = monitorID(text, all, i);
                }
            }
        }
    }
    if (all.empty() && !xcb_connection_has_error(c.get())) {
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

WindowTree windowTree(Connection& c, ErrorPtr& error) {
    auto tree = readTree(c, true);
    if (!tree || xcb_connection_has_error(c.get())) {
        error = connectionLost();
        return {};
    }
    WindowTree whole;
    whole.clients = std::move(tree->clients);
    whole.stacking.reserve(tree->tops.size());
    for (std::size_t i = tree->tops.size(); i-- > 0;) {
        auto client = tree->clientOfTop.find(tree->tops[i]);
        xcb_window_t window = client == tree->clientOfTop.end() ? tree->tops[i] : client->second;
        whole.stacking.push_back({window, tree->topMapped[i]});
    }
    return whole;
}

std::vector<Stacked> stacking(Connection& c) {
    auto tree = readTree(c, false);
    if (!tree) {
        return {};
    }
    xcb_connection_t* x = c.get();
    // Whether the manager hides the client of each mapped top-level, all asked at once.
    struct Pending {
        std::size_t top;
        xcb_window_t client;
        xcb_get_property_cookie_t wmState, netState, desktop;
    };
    std::vector<Pending> pending;
    for (std::size_t i = 0; i < tree->tops.size(); ++i) {
        auto client = tree->clientOfTop.find(tree->tops[i]);
        if (!tree->topMapped[i] || client == tree->clientOfTop.end()) {
            continue;
        }
        xcb_window_t w = client->second;
        pending.push_back({i, w, ask(x, w, c.atom("WM_STATE"), XCB_ATOM_ANY, 2),
                           ask(x, w, c.atom("_NET_WM_STATE"), XCB_ATOM_ATOM, 64),
                           ask(x, w, c.atom("_NET_WM_DESKTOP"), XCB_ATOM_CARDINAL, 1)});
    }
    std::vector<bool> hidden(tree->tops.size(), false);
    for (const Pending& p : pending) {
        auto wmState = answer(x, p.wmState);
        auto netState = answer(x, p.netState);
        auto desktop = answer(x, p.desktop);
        hidden[p.top] =
            hiddenByManager(c, wmState.get(), netState.get(), desktop.get(), tree->currentDesktop);
    }
    std::vector<Stacked> stacked;
    stacked.reserve(tree->tops.size());
    for (std::size_t i = tree->tops.size(); i-- > 0;) {
        auto client = tree->clientOfTop.find(tree->tops[i]);
        xcb_window_t window = client == tree->clientOfTop.end() ? tree->tops[i] : client->second;
        stacked.push_back({window, tree->topMapped[i] && !hidden[i]});
    }
    return stacked;
}

std::vector<WindowFacts> describe(Connection& c, const std::vector<xcb_window_t>& ids,
                                  ErrorPtr& error) {
    struct Pending {
        xcb_get_window_attributes_cookie_t attributes;
        xcb_get_geometry_cookie_t geometry;
        xcb_translate_coordinates_cookie_t origin;
        xcb_get_property_cookie_t netName, name, type, state, wmClass, pid, wmState, desktop,
            extents, machine;
        std::optional<xcb_res_query_client_ids_cookie_t> owner;
    };
    preloadAtoms(c);
    xcb_connection_t* x = c.get();
    bool resources = c.hasExtension(&xcb_res_id);
    xcb_atom_t utf8 = c.atom("UTF8_STRING");
    xcb_atom_t compoundText = c.atom("COMPOUND_TEXT");
    // Ask everything first and read the answers after, so that the whole list costs about one
    // round trip instead of several per window.
    auto desktopCookie = ask(x, c.root(), c.atom("_NET_CURRENT_DESKTOP"), XCB_ATOM_CARDINAL, 1);
    std::vector<Pending> pending;
    pending.reserve(ids.size());
    for (xcb_window_t id : ids) {
        pending.push_back(
            {xcb_get_window_attributes(x, id), xcb_get_geometry(x, id),
             xcb_translate_coordinates(x, id, c.root(), 0, 0),
             ask(x, id, c.atom("_NET_WM_NAME"), utf8), ask(x, id, XCB_ATOM_WM_NAME, XCB_ATOM_ANY),
             ask(x, id, c.atom("_NET_WM_WINDOW_TYPE"), XCB_ATOM_ATOM, 64),
             ask(x, id, c.atom("_NET_WM_STATE"), XCB_ATOM_ATOM, 64),
             ask(x, id, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 1024),
             ask(x, id, c.atom("_NET_WM_PID"), XCB_ATOM_CARDINAL, 1),
             ask(x, id, c.atom("WM_STATE"), XCB_ATOM_ANY, 2),
             ask(x, id, c.atom("_NET_WM_DESKTOP"), XCB_ATOM_CARDINAL, 1),
             ask(x, id, c.atom("_GTK_FRAME_EXTENTS"), XCB_ATOM_CARDINAL, 4),
             ask(x, id, XCB_ATOM_WM_CLIENT_MACHINE, XCB_ATOM_ANY, 256), std::nullopt});
        if (resources) {
            xcb_res_client_id_spec_t query{id, XCB_RES_CLIENT_ID_MASK_LOCAL_CLIENT_PID};
            pending.back().owner = xcb_res_query_client_ids(x, 1, &query);
        }
    }
    auto currentDesktop = cardinal(answer(x, desktopCookie).get());
    std::string localHost = hostName();
    std::vector<WindowFacts> facts;
    for (std::size_t i = 0; i < ids.size(); ++i) {
        const Pending& p = pending[i];
        auto attributes = answer(x, p.attributes);
        Reply<xcb_get_geometry_reply_t> geometry(xcb_get_geometry_reply(x, p.geometry, nullptr));
        Reply<xcb_translate_coordinates_reply_t> origin(
            xcb_translate_coordinates_reply(x, p.origin, nullptr));
        auto netNameReply = answer(x, p.netName);
        auto nameReply = answer(x, p.name);
        auto typeReply = answer(x, p.type);
        auto stateReply = answer(x, p.state);
        auto classReply = answer(x, p.wmClass);
        auto pidReply = answer(x, p.pid);
        auto wmStateReply = answer(x, p.wmState);
        auto desktopReply = answer(x, p.desktop);
        auto machineReply = answer(x, p.machine);
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
        // A program that draws its own title bar (GTK on a compositing desktop) makes its
        // window larger than what shows, for an invisible shadow around it: that margin is
        // not part of the window a person sees.
        Insets margin = frameExtents(c, p.extents, f.width, f.height);
        f.x += margin.left;
        f.y += margin.top;
        f.width -= margin.left + margin.right;
        f.height -= margin.top + margin.bottom;
        f.viewable = attributes->map_state == XCB_MAP_STATE_VIEWABLE &&
                     !hiddenByManager(c, wmStateReply.get(), stateReply.get(), desktopReply.get(),
                                      currentDesktop);
        if (netNameReply && netNameReply->type == utf8) {
            f.title = text(netNameReply.get());
        } else if (nameReply && nameReply->type != XCB_ATOM_NONE) {
            std::string name = text(nameReply.get());
            if (nameReply->type == XCB_ATOM_STRING) {
                f.title = latin1ToUtf8(name);
            } else if (nameReply->type == compoundText) {
                f.title = compoundTextToUtf8(name);
            } else {
                f.title = std::move(name);
            }
        }
        auto types = cardinals(typeReply.get());
        f.desktop = contains(types, c.atom("_NET_WM_WINDOW_TYPE_DESKTOP"));
        f.layer = layerOf(c, types, attributes->override_redirect);
        if (classReply && classReply->type == XCB_ATOM_STRING) {
            // WM_CLASS holds the instance name and then the class name, each ending in a NUL.
            std::string both = text(classReply.get());
            auto split = both.find('\0');
            std::string instance = both.substr(0, split);
            if (!instance.empty()) {
                f.instance = latin1ToUtf8(instance);
            }
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
        // A client that the server knows no local process of (one over TCP) may still name
        // its process itself; that number means a process here only when it runs here.
        if (!f.pid && (!machineReply || machineReply->type == XCB_ATOM_NONE ||
                       text(machineReply.get()) == localHost)) {
            if (auto pid = cardinal(pidReply.get()); pid && *pid > 0 && *pid <= INT32_MAX) {
                f.pid = static_cast<ProcessID>(*pid);
            }
        }
        facts.push_back(std::move(f));
    }
    if (xcb_connection_has_error(x)) {
        error = connectionLost();
        return {};
    }
    return facts;
}

} // namespace lumatap::x11
