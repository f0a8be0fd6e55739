// Capture streams of a compositor's output or toplevel.
#pragma once

#include "capture/platform.h"

#include <memory>
#include <string>
#include <variant>

namespace lumatap::wayland {

// What a stream captures: a toplevel by its identifier, or an output by its id.
using StreamSource = std::variant<std::string, std::uint32_t>;

std::shared_ptr<Stream> createScreenStream(StreamSource source,
                                           std::shared_ptr<const StreamConfiguration> configuration,
                                           std::shared_ptr<StreamDelegate> delegate);

} // namespace lumatap::wayland
