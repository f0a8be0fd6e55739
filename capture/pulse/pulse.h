// The sound side of the Linux backend, over the PulseAudio client API (which PipeWire's
// pulse server speaks too).
#pragma once

#include "capture/platform.h"

#include <chrono>
#include <optional>
#include <string>

namespace lumatap::pulse {

// A stream that records what the default output device plays, leaving out the processes
// that the filter (and, when configured, this process) name.
std::shared_ptr<Stream> createAudioStream(std::shared_ptr<const ContentFilter> filter,
                                          std::shared_ptr<const StreamConfiguration> configuration,
                                          std::shared_ptr<StreamDelegate> delegate);

// The name that the sound server gives itself ("pulseaudio", or "PulseAudio (on PipeWire
// 0.3.65)" for PipeWire's pulse server); none when no server answers within `limit`.
std::optional<std::string> serverName(std::chrono::milliseconds limit);

} // namespace lumatap::pulse
