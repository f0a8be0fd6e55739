// Pictures of a PipeWire video node for the screen stream: a desktop's screencast (GNOME's
// and KDE's both end in one) read from shared memory, with the producer's crop, damage and
// cursor metadata taken as they come.
#pragma once

#include "capture/media/frame_source.h"
#include "capture/platform.h"

#include <cstdint>
#include <functional>
#include <memory>

namespace lumatap::pipewire {

// How the producer was asked to show the pointer: not at all, drawn into the pixels, or as
// cursor metadata beside them, which the screen stream then draws.
enum class PointerMode { hidden, embedded, metadata };

struct SourceOptions {
    std::uint32_t node = 0; // the PipeWire node to read
    int remoteFd = -1;      // a connected remote's fd, taken over; -1: the session's daemon
    PointerMode pointer = PointerMode::metadata;
    // Asked on the reading thread once the stream stops or fails, to name the ending (the
    // window was closed, the display went...); without it, or when it gives null, a generic
    // "stream ended" error is the ending.
    std::function<ErrorPtr()> ending;
};

std::unique_ptr<media::FrameSource> makeSource(SourceOptions options);

} // namespace lumatap::pipewire
