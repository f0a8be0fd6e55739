#include "capture/media/png_encoder.h"

#include <algorithm>
#include <new>
#include <png.h>
#include <zlib.h>

namespace lumatap::media {
namespace {

// libpng reports through these; its own defaults would print to standard error, which
// belongs to the host's message lines.
[[noreturn]] void onError(png_structp png, png_const_charp) {
    png_longjmp(png, 1);
}
void onWarning(png_structp, png_const_charp) {
}

void append(png_structp png, png_bytep data, png_size_t size) {
    auto* out = static_cast<Bytes*>(png_get_io_ptr(png));
    bool full = false;
    try {
        out->insert(out->end(), data, data + size);
    } catch (const std::bad_alloc&) {
        full = true;
    }
    // Outside the handler: libpng leaves by longjmp, which must not cross it.
    if (full) {
        png_error(png, "out of memory");
    }
}

void flush(png_structp) {
}

// Whether the picture has any pixel that is not fully opaque: only then is alpha worth a
// channel of the file.
bool seeThrough(const Image& image) {
    if (!image.alpha) {
        return false;
    }
    for (std::size_t y = 0; y < image.height; ++y) {
        const std::uint8_t* row = image.pixels.data() + y * image.bytesPerRow;
        for (std::size_t x = 0; x < image.width; ++x) {
            if (row[4 * x + 3] != 255) {
                return true;
            }
        }
    }
    return false;
}

// PNG keeps colours straight, not multiplied by their alpha.
void unpremultiply(const std::uint8_t* from, std::uint8_t* to, std::size_t width) {
    for (std::size_t x = 0; x < width; ++x, from += 4, to += 4) {
        unsigned a = from[3];
        for (int c = 0; c < 3; ++c) {
            // A colour above its alpha is not valid premultiplied; it is held at full.
            to[c] = a == 0
                        ? 0
                        : static_cast<std::uint8_t>(std::min(255u, (from[c] * 255u + a / 2) / a));
        }
        to[3] = static_cast<std::uint8_t>(a);
    }
}

// Only libpng calls are made between the setjmp and the end, so a longjmp back skips nothing
// that needs undoing. With `straight` (room for one row) the picture is written with its alpha.
bool writeImage(png_structp png, png_infop info, const Image& image, std::uint8_t* straight,
                Bytes* out) {
    if (setjmp(png_jmpbuf(png))) {
        return false;
    }
    png_set_write_fn(png, out, append, flush);
    png_set_IHDR(png, info, static_cast<png_uint_32>(image.width),
                 static_cast<png_uint_32>(image.height), 8,
                 straight ? PNG_COLOR_TYPE_RGB_ALPHA : PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    // zlib's default level, as asked; the rest is tuned for time. Measured on desktop
    // thumbnails, the Sub filter alone with the default strategy encodes in about two thirds
    // of the time of libpng's adaptive choice among all five filters (with Z_FILTERED), and
    // the file comes out a little smaller, not larger.
    png_set_compression_level(png, Z_DEFAULT_COMPRESSION);
    png_set_compression_strategy(png, Z_DEFAULT_STRATEGY);
    png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_SUB);
    png_write_info(png, info);
    // The rows go in as they are: libpng swaps blue and red and, for an opaque picture, drops
    // the fourth byte itself, so it is RGB whatever its alpha bytes hold.
    png_set_bgr(png);
    if (!straight) {
        png_set_filler(png, 0, PNG_FILLER_AFTER);
    }
    const std::uint8_t* row = image.pixels.data();
    for (std::size_t y = 0; y < image.height; ++y, row += image.bytesPerRow) {
        if (straight) {
            unpremultiply(row, straight, image.width);
            png_write_row(png, straight);
        } else {
            png_write_row(png, row);
        }
    }
    png_write_end(png, nullptr);
    return true;
}

} // namespace

std::optional<Bytes> encodePNGWithLibpng(const Image& image) {
    if (image.width == 0 || image.height == 0 || image.width > PNG_UINT_31_MAX ||
        image.height > PNG_UINT_31_MAX || image.bytesPerRow < image.width * 4 ||
        image.pixels.size() < image.bytesPerRow * (image.height - 1) + image.width * 4) {
        return std::nullopt;
    }
    Bytes out;
    Bytes straight;
    try {
        if (seeThrough(image)) {
            straight.resize(image.width * 4);
        }
        // Room for half the raw rows: a screen thumbnail fits without the buffer growing.
        out.reserve(image.height * (image.width * 3 + 1) / 2 + 1024);
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, onError, onWarning);
    if (!png) {
        return std::nullopt;
    }
    png_infop info = png_create_info_struct(png);
    bool written =
        info && writeImage(png, info, image, straight.empty() ? nullptr : straight.data(), &out);
    png_destroy_write_struct(&png, info ? &info : nullptr);
    if (!written) {
        return std::nullopt;
    }
    return out;
}

} // namespace lumatap::media
