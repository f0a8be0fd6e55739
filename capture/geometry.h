// Sizes of displays and windows in device pixels. Results keep their fractions; callers
// truncate where they need whole numbers.
#pragma once

#include "capture/platform.h"

namespace lumatap {

// The display's current mode in pixels; without a mode, its bounds in points.
Size displayPixels(DisplayID display);
// Device pixels per point of the display under `point` (of the main display when none is).
double scale(Point point);
// The window's frame scaled by the factor of the display that holds its centre.
Size windowPixels(const Window& window);

} // namespace lumatap
