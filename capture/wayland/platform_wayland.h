// A wlroots desktop (0.19 and later) as a capture platform: outputs and toplevels through the
// ext- capture protocols, still images and streams of either. Its sound is not its business:
// the chooser in capture/linux puts the sound server beside it.
#pragma once

#include "capture/platform.h"

#include <memory>

namespace lumatap::wayland {

// The platform of the compositor that WAYLAND_DISPLAY names; none, with `error` naming what
// is missing, when no compositor answers there or it lacks a protocol capture needs.
std::unique_ptr<Platform> createPlatform(ErrorPtr& error);

} // namespace lumatap::wayland
