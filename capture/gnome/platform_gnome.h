// GNOME on Wayland as a capture platform: Mutter's DisplayConfig and ScreenCast on the
// session bus, the windows from lumatap's shell extension, pictures through PipeWire.
#pragma once

#include "capture/platform.h"

#include <memory>

namespace lumatap::gnome {

// The platform of the GNOME session on the session bus; none, with `error`, when the bus
// offers no ScreenCast (not a GNOME session, or no bus at all).
std::unique_ptr<Platform> createPlatform(ErrorPtr& error);

} // namespace lumatap::gnome
