#include "capture/media/upright.h"

#include <algorithm>
#include <cstring>

namespace lumatap::media {

void copyUpright(const std::uint8_t* bytes, std::size_t stride, const Upright& upright,
                 Image& image) {
    constexpr std::size_t tile = 64;
    image.width = upright.width;
    image.height = upright.height;
    image.bytesPerRow = upright.width * 4;
    image.pixels.resize(image.bytesPerRow * image.height);
    auto offset = [&](std::ptrdiff_t x, std::ptrdiff_t y) {
        auto [sx, sy] = upright.source(x, y);
        return sy * static_cast<std::ptrdiff_t>(stride) + sx * 4;
    };
    const std::ptrdiff_t origin = offset(0, 0);
    const std::ptrdiff_t stepX = offset(1, 0) - origin;
    const std::ptrdiff_t stepY = offset(0, 1) - origin;
    for (std::size_t top = 0; top < upright.height; top += tile) {
        for (std::size_t left = 0; left < upright.width; left += tile) {
            std::size_t right = std::min(left + tile, upright.width);
            for (std::size_t y = top; y < std::min(top + tile, upright.height); ++y) {
                const std::uint8_t* from = bytes + origin + static_cast<std::ptrdiff_t>(y) * stepY +
                                           static_cast<std::ptrdiff_t>(left) * stepX;
                std::uint8_t* to = image.pixels.data() + y * image.bytesPerRow + left * 4;
                for (std::size_t x = left; x < right; ++x, from += stepX, to += 4) {
                    std::memcpy(to, from, 4);
                }
            }
        }
    }
}

} // namespace lumatap::media
