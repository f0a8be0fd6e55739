#pragma once

#include <cstdint>
#include <string>

namespace lumatap {

// Streams paced NV12 frames of the display or window to standard output until the process
// ends.
[[noreturn]] void video(const std::string& kind, std::uint32_t id, std::int64_t width,
                        std::int64_t height, std::int64_t fps, std::int64_t idle);

} // namespace lumatap
