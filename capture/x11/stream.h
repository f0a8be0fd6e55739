#pragma once

#include "capture/platform.h"

namespace lumatap::x11 {

// A stream of pictures of a monitor or a window.
std::shared_ptr<Stream> createScreenStream(std::shared_ptr<const ContentFilter> filter,
                                           std::shared_ptr<const StreamConfiguration> configuration,
                                           std::shared_ptr<StreamDelegate> delegate);

} // namespace lumatap::x11
