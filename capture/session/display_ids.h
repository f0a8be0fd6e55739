// Display ids that a host can keep: derived from the name the desktop gives a display (its
// connector, "DP-1", "HEADLESS-1"), never from a number the desktop hands out in the order it
// made things, so the same display has the same id across runs, restarts and versions.
#pragma once

#include "capture/platform.h"

#include <functional>
#include <string_view>

namespace lumatap::session {

// The id for the display named `name`: a hash of the name, above 0, moved on past the ids that
// `taken` already holds, so that two displays whose names hash alike still differ (the first
// asked keeps the hash: ask in an order that does not change, the names' own, say).
DisplayID displayID(std::string_view name, const std::function<bool(DisplayID)>& taken);

} // namespace lumatap::session
