// One desktop made of two backends: a Wayland compositor that can capture its outputs but
// not its windows (wlroots before 0.19), and the X display of its Xwayland, whose X programs'
// windows can be captured. The host sees one inventory: the compositor's displays and the X
// windows.
#pragma once

#include "capture/platform.h"

#include <memory>

namespace lumatap::platform {

// Displays, their geometry and their pictures from `displays`; windows, their descriptions,
// their pictures and the applications from `windows`, or no windows when it is none (a
// session without Xwayland).
std::unique_ptr<Platform> withXwaylandWindows(std::unique_ptr<Platform> displays,
                                              std::unique_ptr<Platform> windows);

} // namespace lumatap::platform
