// What the X server knows of monitors and top-level windows, read the way the rest of the
// backend needs it.
#pragma once

#include "capture/x11/connection.h"

#include <optional>
#include <string>
#include <vector>
#include <xcb/xcb.h>

namespace lumatap::x11 {

struct Monitor {
    xcb_atom_t name = XCB_ATOM_NONE; // the display id
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

// The window a user thinks of: under a reparenting manager the client inside `top` (the one
// with WM_STATE), else `top` itself.
xcb_window_t clientOf(Connection& connection, xcb_window_t top);

// Top-level client windows, front to back: the manager's stacking list where an EWMH manager
// runs, else the root's children.
std::vector<xcb_window_t> clientWindows(Connection& connection);

struct Stacked {
    xcb_window_t window = XCB_WINDOW_NONE; // the client, or the top-level where it has none
    bool viewable = false;
};
// Every child of the root, front to back, each named by its client window.
std::vector<Stacked> stacking(Connection& connection);

struct WindowFacts {
    xcb_window_t id = XCB_WINDOW_NONE;
    std::optional<std::string> title;
    int x = 0; // client area in root coordinates
    int y = 0;
    int width = 0;
    int height = 0;
    bool viewable = false;
    bool desktop = false;
    std::int64_t layer = 0;
    std::optional<ProcessID> pid;
    std::optional<std::string> windowClass;
};

// Facts of each window still alive; windows that vanished meanwhile are left out.
std::vector<WindowFacts> describe(Connection& connection, const std::vector<xcb_window_t>& ids);

// The short name of a process, from /proc.
std::string processName(ProcessID pid);

} // namespace lumatap::x11
