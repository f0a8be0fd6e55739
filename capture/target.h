#pragma once

#include "capture/platform.h"

#include <string_view>

namespace lumatap {

struct Target {
    std::shared_ptr<const ContentFilter> filter;
    Size pixels;
};

// The capture filter and pixel size for KIND and ID: exactly "display" names a display, any
// other kind a window. A missing target ends the process ("gone: ...").
Target target(std::string_view kind, std::uint32_t id);

// Whether the window server still knows a window with this number.
bool windowExists(WindowID id);

} // namespace lumatap
