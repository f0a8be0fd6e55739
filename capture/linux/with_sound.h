// A desktop's platform with the sound of the machine beside it: the desktop answers for its
// displays, windows and pictures, the sound server for the sound.
#pragma once

#include "capture/platform.h"

#include <memory>

namespace lumatap::platform {

// `desktop`, except that streams that capture audio record the sound server's: through
// PipeWire where it is the server, else through the PulseAudio API.
std::unique_ptr<Platform> withSound(std::unique_ptr<Platform> desktop);

} // namespace lumatap::platform
