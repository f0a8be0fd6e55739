#include "capture/png/png_encoder.h"

#include <png.h>

namespace lumatap {

std::optional<Bytes> encodePNGWithLibpng(const Image& image) {
    if (image.width == 0 || image.height == 0 || image.bytesPerRow < image.width * 4 ||
        image.pixels.size() < image.bytesPerRow * image.height) {
        return std::nullopt;
    }
    // The picture is opaque whatever its alpha bytes hold, so only colour goes into the file.
    Bytes rgb(image.width * image.height * 3);
    for (std::size_t y = 0; y < image.height; ++y) {
        const std::uint8_t* src = image.pixels.data() + y * image.bytesPerRow;
        std::uint8_t* dst = rgb.data() + y * image.width * 3;
        for (std::size_t x = 0; x < image.width; ++x) {
            dst[3 * x] = src[4 * x + 2];
            dst[3 * x + 1] = src[4 * x + 1];
            dst[3 * x + 2] = src[4 * x];
        }
    }
    png_image png{};
    png.version = PNG_IMAGE_VERSION;
    png.width = static_cast<png_uint_32>(image.width);
    png.height = static_cast<png_uint_32>(image.height);
    png.format = PNG_FORMAT_RGB;
    png_alloc_size_t size = 0;
    if (!png_image_write_to_memory(&png, nullptr, &size, 0, rgb.data(), 0, nullptr)) {
        png_image_free(&png);
        return std::nullopt;
    }
    Bytes out(size);
    if (!png_image_write_to_memory(&png, out.data(), &size, 0, rgb.data(), 0, nullptr)) {
        png_image_free(&png);
        return std::nullopt;
    }
    out.resize(size);
    return out;
}

} // namespace lumatap
