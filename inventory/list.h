#pragma once

#include "capture/platform.h"

#include <nlohmann/json_fwd.hpp>
#include <unordered_map>

namespace lumatap {

// Prints the inventory of displays and capturable windows as one JSON document and exits
// with status 0.
[[noreturn]] void list();

// Window number to its place in the window server's front-to-back on-screen list.
std::unordered_map<std::int64_t, std::int64_t> rankTable();

// Whether `list` shows the window: a normal-layer, on-screen window of some other process
// than this one and its parent, at least 160 by 120 points.
bool listable(const Window& window, ProcessID self, ProcessID parent);

} // namespace lumatap
