// KDE Plasma on Wayland: KWin offers none of the capture protocols of wlroots. Its outputs are
// read as on any compositor (wl_output with xdg-output); its windows come from a script KWin
// runs for us over the session bus, which needs no grant; pictures of either come through
// KWin's screencasts, which it grants only to a program a desktop file names, into PipeWire.
#pragma once

#include "capture/platform.h"

#include <memory>

namespace lumatap::platform {

// The platform of the KWin that WAYLAND_DISPLAY and the session bus name; none, with `error`
// saying why, when KWin is not on the session bus or no compositor answers. A compositor that
// offers the ext- capture protocols is not asked about: the wlroots path serves it.
std::unique_ptr<Platform> createKdeDesktop(ErrorPtr& error);

} // namespace lumatap::platform
