#include "capture/x11/windows.h"

#include "capture/x11/ewmh.h"

#include <algorithm>
#include <unordered_map>
#include <unordered_set>

namespace lumatap::x11 {
namespace {

// How deep under a top-level a client is looked for: managers put it one or two levels down.
constexpr int deepestClient = 4;

Reply<xcb_query_tree_reply_t> answer(xcb_connection_t* x, xcb_query_tree_cookie_t cookie) {
    return Reply<xcb_query_tree_reply_t>(xcb_query_tree_reply(x, cookie, nullptr));
}

Reply<xcb_get_window_attributes_reply_t> answer(xcb_connection_t* x,
                                                xcb_get_window_attributes_cookie_t cookie) {
    return Reply<xcb_get_window_attributes_reply_t>(
        xcb_get_window_attributes_reply(x, cookie, nullptr));
}

std::vector<xcb_window_t> children(const xcb_query_tree_reply_t* tree) {
    if (!tree) {
        return {};
    }
    auto* data = xcb_query_tree_children(tree);
    return {data, data + xcb_query_tree_children_length(tree)};
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
                states[i].push_back(askProperty(x, w, wmState, XCB_ATOM_ANY, 0));
                trees[i].push_back(xcb_query_tree(x, w));
            }
        }
        std::vector<Search> deeper;
        for (std::size_t i = 0; i < searches.size(); ++i) {
            std::optional<xcb_window_t> found;
            std::vector<xcb_window_t> next;
            for (std::size_t k = 0; k < searches[i].level.size(); ++k) {
                auto state = answerProperty(x, states[i][k]);
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
    preloadWindowAtoms(c);
    xcb_connection_t* x = c.get();
    xcb_window_t root = c.root();
    auto checkCookie = askProperty(x, root, c.atom("_NET_SUPPORTING_WM_CHECK"), XCB_ATOM_WINDOW, 1);
    auto stackingCookie =
        askProperty(x, root, c.atom("_NET_CLIENT_LIST_STACKING"), XCB_ATOM_WINDOW);
    auto listCookie = askProperty(x, root, c.atom("_NET_CLIENT_LIST"), XCB_ATOM_WINDOW);
    auto desktopCookie = askProperty(x, root, c.atom("_NET_CURRENT_DESKTOP"), XCB_ATOM_CARDINAL, 1);
    auto rootTreeCookie = xcb_query_tree(x, root);
    auto check = answerProperty(x, checkCookie);
    auto stackingList = answerProperty(x, stackingCookie);
    auto clientList = answerProperty(x, listCookie);
    auto currentDesktop = answerProperty(x, desktopCookie);
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
            askProperty(x, *managerWindow, c.atom("_NET_SUPPORTING_WM_CHECK"), XCB_ATOM_WINDOW, 1);
    }
    std::vector<xcb_get_window_attributes_cookie_t> attributeCookies;
    attributeCookies.reserve(tree.tops.size());
    for (xcb_window_t top : tree.tops) {
        attributeCookies.push_back(xcb_get_window_attributes(x, top));
    }
    bool manager = false;
    if (managerCookie) {
        auto self = answerProperty(x, *managerCookie);
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

} // namespace

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
        pending.push_back({i, w, askProperty(x, w, c.atom("WM_STATE"), XCB_ATOM_ANY, 2),
                           askProperty(x, w, c.atom("_NET_WM_STATE"), XCB_ATOM_ATOM, 64),
                           askProperty(x, w, c.atom("_NET_WM_DESKTOP"), XCB_ATOM_CARDINAL, 1)});
    }
    std::vector<bool> hidden(tree->tops.size(), false);
    for (const Pending& p : pending) {
        auto wmState = answerProperty(x, p.wmState);
        auto netState = answerProperty(x, p.netState);
        auto desktop = answerProperty(x, p.desktop);
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

} // namespace lumatap::x11
