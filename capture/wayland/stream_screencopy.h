// Capture streams of a compositor's output through wlr-screencopy.
#pragma once

#include "capture/platform.h"

#include <memory>

namespace lumatap::wayland {

std::shared_ptr<Stream>
createScreencopyStream(DisplayID display, std::shared_ptr<const StreamConfiguration> configuration,
                       std::shared_ptr<StreamDelegate> delegate);

} // namespace lumatap::wayland
