#pragma once

#include "capture/platform.h"

namespace lumatap::media {

// PNG file bytes of a BGRA image, or none when libpng cannot encode it. RGB, unless the image
// has alpha and some pixel is not fully opaque: then RGBA with the colours unpremultiplied.
std::optional<Bytes> encodePNGWithLibpng(const Image& image);

} // namespace lumatap::media
