// The platform of the desktop this process runs on, chosen once at start. X11 serves both X
// desktops and, through Xwayland, the X programs of a Wayland session.
#include "capture/x11/platform_x11.h"

namespace lumatap::platform {

std::unique_ptr<Platform> forThisMachine() {
    return x11::createPlatform();
}

} // namespace lumatap::platform
