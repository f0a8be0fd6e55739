// A wlroots desktop before 0.19 as a capture platform of its displays alone: outputs through
// wlr-screencopy, still images and streams of them. Such a compositor offers no way to capture
// its native windows, so it lists none; the chooser in capture/linux puts the X programs'
// windows (through Xwayland) and the sound server beside it.
#pragma once

#include "capture/platform.h"

#include <memory>

namespace lumatap::wayland {

// The platform of the compositor that WAYLAND_DISPLAY names; none, with `error` naming what
// is missing, when no compositor answers there or it lacks wlr-screencopy.
std::unique_ptr<Platform> createScreencopyPlatform(ErrorPtr& error);

} // namespace lumatap::wayland
