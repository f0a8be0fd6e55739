// The top-level windows of the X server, front to back: the window tree walked the way the rest
// of the backend needs it.
//
// Whole lists are read in a few pipelined batches, each one round trip however many windows
// there are: a desktop with a thousand windows, or a server at the end of a slow link, costs
// about as much as one with ten.
#pragma once

#include "capture/x11/connection.h"

#include <vector>
#include <xcb/xcb.h>

namespace lumatap::x11 {

struct Stacked {
    xcb_window_t window = XCB_WINDOW_NONE; // the client, or the top-level where it has none
    bool viewable = false;                 // mapped and not hidden from view by the manager
};
// Every child of the root, front to back, each named by its client window.
std::vector<Stacked> stacking(Connection& connection);

struct WindowTree {
    // The windows a person thinks of, front to back: the manager's stacking list where it
    // keeps one; else its client list, put in the real stacking order; else, with no manager
    // or one that keeps neither list, the clients found by walking the tree (the windows with
    // WM_STATE, or a top-level itself where none of its windows has one).
    std::vector<xcb_window_t> clients;
    // Every child of the root, front to back, named by its client; here `viewable` says only
    // that the top-level is mapped, since whether the manager hides a client shows in its
    // facts.
    std::vector<Stacked> stacking;
};
// Empty, with `error` set, when the connection to the server is lost.
WindowTree windowTree(Connection& connection, ErrorPtr& error);

} // namespace lumatap::x11
