// The displays of an X screen: its RandR monitors, each named by an id that outlives the
// server's generation.
#pragma once

#include "capture/x11/connection.h"

#include <optional>
#include <vector>

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

} // namespace lumatap::x11
