// Pictures of a GNOME monitor or window for the screen stream: a ScreenCast session of its
// own, read through the shared PipeWire source. The session is the source's: it starts when
// the source is prepared and stops when the source goes.
#pragma once

#include "capture/media/frame_source.h"

#include <cstdint>
#include <memory>
#include <string>
#include <variant>

namespace lumatap::gnome {

// A monitor by its connector, or a window by the shell's id for it.
using CastTarget = std::variant<std::string, std::uint64_t>;

std::unique_ptr<media::FrameSource> makeCastSource(CastTarget target);

} // namespace lumatap::gnome
