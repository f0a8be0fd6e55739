// Sound recorded through PipeWire itself, where PipeWire is the sound server: each
// application's playback stream is linked to a capture stream of our own and mixed, at the
// graph's own pace, with no pulse server in between.
#pragma once

#include "capture/platform.h"

#include <memory>

namespace lumatap::pipewire {

// Whether the PipeWire socket that a client would connect to is there: PIPEWIRE_REMOTE, or
// "pipewire-0" in PIPEWIRE_RUNTIME_DIR or else XDG_RUNTIME_DIR.
bool audioSocketFound();

// A stream that records what the applications play, leaving out the processes that the
// filter (and, when configured, this process) name, with their descendants.
std::shared_ptr<Stream> createAudioStream(std::shared_ptr<const ContentFilter> filter,
                                          std::shared_ptr<const StreamConfiguration> configuration,
                                          std::shared_ptr<StreamDelegate> delegate);

} // namespace lumatap::pipewire
