#pragma once

#include "capture/platform.h"

#include <cstdint>
#include <string>

namespace lumatap {

// A picture size in whole pixels.
struct Fitted {
    std::int64_t width = 0;
    std::int64_t height = 0;

    bool operator==(const Fitted&) const = default;
};

// `pixels` scaled down, never up, to fit into MAXW by MAXH keeping its proportions; each side
// truncated to whole pixels and then at least 2.
Fitted fit(Size pixels, double maxWidth, double maxHeight);

// Prints one PNG still of the display or window, fitted into MAXW by MAXH, and exits.
[[noreturn]] void thumb(const std::string& kind, std::uint32_t id, double maxWidth,
                        double maxHeight);

} // namespace lumatap
