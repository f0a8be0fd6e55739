// Window properties as window managers and programs set them (ICCCM, EWMH), and what they
// mean. Read in batches: every question asked first and the answers read after, so that a
// whole list of windows costs about one round trip.
#pragma once

#include "capture/x11/connection.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>
#include <xcb/xcb.h>

namespace lumatap::x11 {

// Properties are read whole: titles of any length, client lists of any desktop.
constexpr std::uint32_t wholeProperty = 1u << 24;

using PropertyReply = Reply<xcb_get_property_reply_t>;

inline xcb_get_property_cookie_t askProperty(xcb_connection_t* x, xcb_window_t window,
                                             xcb_atom_t name, xcb_atom_t type,
                                             std::uint32_t longs = wholeProperty) {
    return xcb_get_property(x, 0, window, name, type, 0, longs);
}

inline PropertyReply answerProperty(xcb_connection_t* x, xcb_get_property_cookie_t cookie) {
    return PropertyReply(xcb_get_property_reply(x, cookie, nullptr));
}

// The values of a property of 32-bit items; none where it is absent or of another format.
std::vector<std::uint32_t> cardinals(const xcb_get_property_reply_t* reply);
std::optional<std::uint32_t> cardinal(const xcb_get_property_reply_t* reply);
// The bytes of a property, as they are.
std::string propertyText(const xcb_get_property_reply_t* reply);
bool containsAtom(const std::vector<std::uint32_t>& values, xcb_atom_t atom);

// Every atom that reading the window list asks for, interned together the first time any of
// them is needed.
void preloadWindowAtoms(Connection& connection);

// Where a window stacks by its _NET_WM_WINDOW_TYPE: below 0 what sits under normal windows,
// above 0 what floats over them.
std::int64_t layerOf(Connection& connection, const std::vector<std::uint32_t>& types,
                     bool overrideRedirect);

// Whether the manager keeps a window out of view while it stays mapped: minimised, hidden, or
// on another workspace. `currentDesktop` is none where the manager has no workspaces.
bool hiddenByManager(Connection& connection, const xcb_get_property_reply_t* wmState,
                     const xcb_get_property_reply_t* netState,
                     const xcb_get_property_reply_t* desktop,
                     std::optional<std::uint32_t> currentDesktop);

} // namespace lumatap::x11
