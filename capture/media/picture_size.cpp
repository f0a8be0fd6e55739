#include "capture/media/picture_size.h"

#include "capture/media/scale.h"

#include <algorithm>
#include <cmath>

namespace lumatap::media {
namespace {

std::optional<PixelSize> checked(std::int64_t width, std::int64_t height, const char* noun,
                                 std::string& problem) {
    if (width < 1 || height < 1 || width > largestSide || height > largestSide) {
        problem = std::string("the ") + noun + " size " + std::to_string(width) + "x" +
                  std::to_string(height) + " is not possible";
        return std::nullopt;
    }
    return PixelSize{static_cast<std::size_t>(width), static_cast<std::size_t>(height)};
}

} // namespace

std::optional<PixelSize> stillSize(const StreamConfiguration* configuration, std::size_t width,
                                   std::size_t height, std::string& problem) {
    auto w = static_cast<std::int64_t>(width);
    auto h = static_cast<std::int64_t>(height);
    if (configuration) {
        w = configuration->width.value_or(w);
        h = configuration->height.value_or(h);
    }
    return checked(w, h, "picture", problem);
}

std::optional<PixelSize> frameSize(const StreamConfiguration& configuration, std::size_t width,
                                   std::size_t height, std::string& problem) {
    std::int64_t w = configuration.width.value_or(0);
    std::int64_t h = configuration.height.value_or(0);
    if (w < 1 || h < 1) {
        w = static_cast<std::int64_t>(width);
        h = static_cast<std::int64_t>(height);
    }
    return checked(w, h, "frame", problem);
}

std::shared_ptr<Image> scaledImage(const BgraView& picture, PixelSize size) {
    auto image = std::make_shared<Image>();
    image->width = size.width;
    image->height = size.height;
    image->bytesPerRow = size.width * 4;
    image->pixels.resize(image->bytesPerRow * size.height);
    Scaler scaler(picture.width, picture.height, size.width, size.height);
    scaler.scale(picture, image->pixels.data(), image->bytesPerRow);
    return image;
}

Area pixelArea(const Rect& rect, std::size_t width, std::size_t height) {
    auto w = static_cast<double>(width);
    auto h = static_cast<double>(height);
    double left = std::clamp(std::floor(rect.x), 0.0, w);
    double top = std::clamp(std::floor(rect.y), 0.0, h);
    double right = std::clamp(std::ceil(rect.x + rect.width), left, w);
    double bottom = std::clamp(std::ceil(rect.y + rect.height), top, h);
    return {static_cast<std::size_t>(left), static_cast<std::size_t>(top),
            static_cast<std::size_t>(right - left), static_cast<std::size_t>(bottom - top)};
}

} // namespace lumatap::media
