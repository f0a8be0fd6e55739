#pragma once

namespace lumatap {

// Streams the system's sound, without the host's and the tool's own, as PCM to standard
// output until the process ends.
[[noreturn]] void audio();

} // namespace lumatap
