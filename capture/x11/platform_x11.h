// The X11 desktop as a capture platform: displays and windows through XCB, still images and
// streams of them, and the sound through the PulseAudio API.
#pragma once

#include "capture/platform.h"

#include <memory>

namespace lumatap::x11 {

std::unique_ptr<Platform> createPlatform();

} // namespace lumatap::x11
