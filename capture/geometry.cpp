#include "capture/geometry.h"

#include <algorithm>

namespace lumatap {

Size displayPixels(DisplayID display) {
    if (auto mode = platform::copyDisplayMode(display)) {
        return {static_cast<double>(mode->pixelWidth), static_cast<double>(mode->pixelHeight)};
    }
    Rect bounds = platform::displayBounds(display);
    return {bounds.width, bounds.height};
}

double scale(Point point) {
    DisplayID display = platform::displayWithPoint(point).value_or(platform::mainDisplayID());
    double pixelWidth = displayPixels(display).width;
    double pointWidth = platform::displayBounds(display).width;
    return pixelWidth / std::max(pointWidth, 1.0);
}

Size windowPixels(const Window& window) {
    double factor = scale({window.frame.midX(), window.frame.midY()});
    return {window.frame.width * factor, window.frame.height * factor};
}

} // namespace lumatap
