#pragma once

#include <cstdint>
#include <string>

namespace lumatap {

// Prints one PNG still of the display or window, fitted into MAXW by MAXH, and exits.
[[noreturn]] void thumb(const std::string& kind, std::uint32_t id, double maxWidth,
                        double maxHeight);

} // namespace lumatap
