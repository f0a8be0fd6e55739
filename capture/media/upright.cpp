#include "capture/media/upright.h"

#include <algorithm>
#include <cstring>

namespace lumatap::media {

void copyUpright(const std::uint8_t* bytes, std::size_t stride, const Upright& upright,
                 Image& image) {
    image.width = upright.width;
    image.height = upright.height;
    image.bytesPerRow = upright.width * 4;
    image.pixels.resize(image.bytesPerRow * image.height);
    copyUprightArea(bytes, static_cast<std::ptrdiff_t>(stride), upright,
                    {0, 0, upright.width, upright.height}, false, image);
}

void copyUprightArea(const std::uint8_t* bytes, std::ptrdiff_t stride, const Upright& upright,
                     const Area& area, bool swapRedBlue, Image& image) {
    constexpr std::size_t tile = 64;
    auto offset = [&](std::ptrdiff_t x, std::ptrdiff_t y) {
        auto [sx, sy] = upright.source(x, y);
        return sy * stride + sx * 4;
    };
    const std::ptrdiff_t origin = offset(0, 0);
    const std::ptrdiff_t stepX = offset(1, 0) - origin;
    const std::ptrdiff_t stepY = offset(0, 1) - origin;
    const std::size_t right = std::min(area.x + area.width, upright.width);
    const std::size_t bottom = std::min(area.y + area.height, upright.height);
    for (std::size_t top = area.y; top < bottom; top += tile) {
        for (std::size_t left = area.x; left < right; left += tile) {
            std::size_t end = std::min(left + tile, right);
            for (std::size_t y = top; y < std::min(top + tile, bottom); ++y) {
                const std::uint8_t* from = bytes + origin + static_cast<std::ptrdiff_t>(y) * stepY +
                                           static_cast<std::ptrdiff_t>(left) * stepX;
                std::uint8_t* to = image.pixels.data() + y * image.bytesPerRow + left * 4;
                if (swapRedBlue) {
                    for (std::size_t x = left; x < end; ++x, from += stepX, to += 4) {
                        to[0] = from[2];
                        to[1] = from[1];
                        to[2] = from[0];
                        to[3] = from[3];
                    }
                } else {
                    for (std::size_t x = left; x < end; ++x, from += stepX, to += 4) {
                        std::memcpy(to, from, 4);
                    }
                }
            }
        }
    }
}

} // namespace lumatap::media
