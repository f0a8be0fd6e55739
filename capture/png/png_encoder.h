#pragma once

#include "capture/platform.h"

namespace lumatap {

// PNG file bytes of an opaque BGRA image, or none when libpng cannot encode it.
std::optional<Bytes> encodePNGWithLibpng(const Image& image);

} // namespace lumatap
