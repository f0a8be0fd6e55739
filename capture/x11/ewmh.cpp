#include "capture/x11/ewmh.h"

#include <algorithm>

namespace lumatap::x11 {
namespace {

// _NET_WM_DESKTOP of a window shown on every workspace.
constexpr std::uint32_t allDesktops = 0xFFFFFFFF;
// WM_STATE of a minimised window.
constexpr std::uint32_t iconicState = 3;

} // namespace

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

std::string propertyText(const xcb_get_property_reply_t* reply) {
    auto* data = static_cast<const char*>(xcb_get_property_value(reply));
    return std::string(data, static_cast<std::size_t>(xcb_get_property_value_length(reply)));
}

bool containsAtom(const std::vector<std::uint32_t>& values, xcb_atom_t atom) {
    return atom != XCB_ATOM_NONE && std::find(values.begin(), values.end(), atom) != values.end();
}

// Every atom that windows.cpp and window_facts.cpp ask for.
void preloadWindowAtoms(Connection& c) {
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
    if (containsAtom(cardinals(netState), c.atom("_NET_WM_STATE_HIDDEN"))) {
        return true;
    }
    auto on = cardinal(desktop);
    return currentDesktop && on && *on != allDesktops && *on != *currentDesktop;
}

} // namespace lumatap::x11
