// The sound side of the Linux backend, over the PulseAudio client API (which PipeWire's
// pulse server speaks too).
#pragma once

#include "capture/platform.h"

namespace lumatap::pulse {

// A stream that records what the default output device plays, leaving out the processes
// that the filter (and, when configured, this process) name.
std::shared_ptr<Stream> createAudioStream(std::shared_ptr<const ContentFilter> filter,
                                          std::shared_ptr<const StreamConfiguration> configuration,
                                          std::shared_ptr<StreamDelegate> delegate);

} // namespace lumatap::pulse
