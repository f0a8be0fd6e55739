#include "tests/support/png.h"

#include <cstdlib>
#include <png.h>

namespace lumatap::test {

std::uint32_t Decoded::at(std::size_t x, std::size_t y) const {
    const std::uint8_t* p = &rgb[(y * width + x) * 3];
    return (std::uint32_t{p[0]} << 16) | (std::uint32_t{p[1]} << 8) | p[2];
}

std::optional<Decoded> decodePNG(std::string_view file) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, file.data(), file.size())) {
        return std::nullopt;
    }
    image.format = PNG_FORMAT_RGB;
    Decoded decoded;
    decoded.width = image.width;
    decoded.height = image.height;
    decoded.rgb.resize(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, decoded.rgb.data(), 0, nullptr)) {
        png_image_free(&image);
        return std::nullopt;
    }
    return decoded;
}

bool near(std::uint32_t a, std::uint32_t b, int tolerance) {
    for (int shift : {0, 8, 16}) {
        int da = static_cast<int>((a >> shift) & 0xff);
        int db = static_cast<int>((b >> shift) & 0xff);
        if (std::abs(da - db) > tolerance) {
            return false;
        }
    }
    return true;
}

} // namespace lumatap::test
