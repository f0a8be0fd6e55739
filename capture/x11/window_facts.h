// What each of a list of windows is: title, visible area, whether a person sees it, layer,
// class and process. Read in one pipelined batch for the whole list.
#pragma once

#include "capture/x11/connection.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>
#include <xcb/xcb.h>

namespace lumatap::x11 {

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

} // namespace lumatap::x11
