// The sizes a desktop's pictures are made at, and the pixels a damage rectangle touches: the
// same rules for every desktop, so that a size no desktop can make is refused with the same
// words everywhere.
#pragma once

#include "capture/media/yuv.h"
#include "capture/platform.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

namespace lumatap::media {

// No real picture comes near this; a size beyond it would only exhaust memory.
inline constexpr std::int64_t largestSide = 1 << 15;

struct PixelSize {
    std::size_t width = 0;
    std::size_t height = 0;
};

// The size a still of a `width` by `height` picture is made at: the configuration's, or the
// picture's own where there is none or it names none. None, with `problem`, when that size
// is not possible.
std::optional<PixelSize> stillSize(const StreamConfiguration* configuration, std::size_t width,
                                   std::size_t height, std::string& problem);

// The size a stream's frames are made at: the configuration's, or the source's own where it
// names no positive size. None, with `problem`, when that size is not possible.
std::optional<PixelSize> frameSize(const StreamConfiguration& configuration, std::size_t width,
                                   std::size_t height, std::string& problem);

// `picture` scaled to `size` as an opaque image.
std::shared_ptr<Image> scaledImage(const BgraView& picture, PixelSize size);

// The whole pixels that `rect` touches, within a picture of `width` by `height`.
Area pixelArea(const Rect& rect, std::size_t width, std::size_t height);

} // namespace lumatap::media
