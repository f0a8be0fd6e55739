// What the X server knows of monitors and top-level windows, read the way the rest of the
// backend needs it.
//
// Whole lists are read in a few pipelined batches, each one round trip however many windows
// there are: a desktop with a thousand windows, or a server at the end of a slow link, costs
// about as much as one with ten.
#pragma once

#include "capture/x11/connection.h"

#include <optional>
#include <string>
#include <vector>
#include <xcb/xcb.h>

namespace lumatap::x11 {

struct Monitor {
    DisplayID id = 0; // stable for as long as the monitor keeps its name
    bool primary = false;
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
};

// The RandR monitors, in the server's order; with no RandR 1.5, the whole screen as one.
std::vector<Monitor> monitors(Connection& connection);
// The primary monitor, else the first.
std::optional<Monitor> mainMonitor(const std::vector<Monitor>& all);

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

struct WindowFacts {
    xcb_window_t id = XCB_WINDOW_NONE;
    std::optional<std::string> title;
    int x = 0; // visible client area in root coordinates
    int y = 0;
    int width = 0;
    int height = 0;
    // Visible to a person: mapped, not minimised, not hidden by the manager and on the current
    // workspace (or on all of them).
    bool viewable = false;
    bool desktop = false;
    std::int64_t layer = 0;
    std::optional<ProcessID> pid;
    std::optional<std::string> windowClass;
    std::optional<std::string> instance;
};

// Facts of each window still alive, in the order given; windows that vanished meanwhile are
// left out. Empty, with `error` set, when the connection to the server is lost: a window
// whose answer was lost with it did not vanish.
std::vector<WindowFacts> describe(Connection& connection, const std::vector<xcb_window_t>& ids,
                                  ErrorPtr& error);

// What a lost connection is reported as.
ErrorPtr connectionLost();

} // namespace lumatap::x11
