#include "capture/x11/compose.h"

#include <algorithm>

namespace lumatap::x11 {

Placement place(std::size_t sourceWidth, std::size_t sourceHeight, std::size_t width,
                std::size_t height, bool keepAspect) {
    if (!keepAspect || sourceWidth == 0 || sourceHeight == 0) {
        return {0, 0, width, height};
    }
    Placement p;
    // Compared as products, so equal shapes fill the frame exactly.
    if (std::uint64_t{sourceWidth} * height <= std::uint64_t{sourceHeight} * width) {
        p.height = height;
        p.width = static_cast<std::size_t>(
            (std::uint64_t{sourceWidth} * height * 2 + sourceHeight) / (2 * sourceHeight));
    } else {
        p.width = width;
        p.height = static_cast<std::size_t>(
            (std::uint64_t{sourceHeight} * width * 2 + sourceWidth) / (2 * sourceWidth));
    }
    p.width = std::clamp<std::size_t>(p.width, 1, width);
    p.height = std::clamp<std::size_t>(p.height, 1, height);
    p.x = (width - p.width) / 2 & ~std::size_t{1};
    p.y = (height - p.height) / 2 & ~std::size_t{1};
    return p;
}

void drawPointer(std::uint8_t* bgra, std::size_t width, std::size_t height, std::size_t bytesPerRow,
                 const std::uint32_t* argb, std::size_t pointerWidth, std::size_t pointerHeight,
                 std::int64_t left, std::int64_t top) {
    const auto w = static_cast<std::int64_t>(width);
    const auto h = static_cast<std::int64_t>(height);
    const std::int64_t firstX = std::max<std::int64_t>(0, -left);
    const std::int64_t firstY = std::max<std::int64_t>(0, -top);
    const std::int64_t lastX = std::min(static_cast<std::int64_t>(pointerWidth), w - left);
    const std::int64_t lastY = std::min(static_cast<std::int64_t>(pointerHeight), h - top);
    for (std::int64_t py = firstY; py < lastY; ++py) {
        const std::uint32_t* from = argb + py * static_cast<std::int64_t>(pointerWidth);
        std::uint8_t* row = bgra + static_cast<std::size_t>(top + py) * bytesPerRow;
        for (std::int64_t px = firstX; px < lastX; ++px) {
            std::uint32_t p = from[px];
            std::uint32_t alpha = p >> 24;
            if (alpha == 0 && (p & 0xffffff) == 0) {
                continue;
            }
            std::uint8_t* to = row + static_cast<std::size_t>(left + px) * 4;
            // Premultiplied: the pointer's colour is added to what shows through it.
            std::uint32_t keep = 255 - alpha;
            for (int c = 0; c < 3; ++c) {
                std::uint32_t source = (p >> (8 * c)) & 0xff;
                std::uint32_t blended = source + (to[c] * keep + 127) / 255;
                to[c] = static_cast<std::uint8_t>(std::min<std::uint32_t>(blended, 255));
            }
        }
    }
}

} // namespace lumatap::x11
