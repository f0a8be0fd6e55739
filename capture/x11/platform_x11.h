// The X11 desktop as a capture platform: displays and windows through XCB, still images and
// streams of them. Its sound is not its business: the chooser in capture/linux puts the sound
// server beside it.
#pragma once

#include "capture/platform.h"

#include <memory>

namespace lumatap::x11 {

std::unique_ptr<Platform> createPlatform();

} // namespace lumatap::x11
