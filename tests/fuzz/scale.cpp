// Area-averaging resize of any sizes, row strides and pixels, opaque or keeping alpha: nothing
// is read or written outside the pictures (ASan, both allocated to their last pixel), row
// padding of the output is left alone, every output channel is the mean of the source area it
// covers (within one level), a flat colour stays exactly that colour, and band-by-band scaling
// from the rows sourceRows() names gives the same picture as scaling all at once.
#include "capture/media/scale.h"

#include "tests/fuzz/check.h"

#include <algorithm>
#include <cmath>
#include <fuzzer/FuzzedDataProvider.h>
#include <memory>

namespace lumatap::media {
namespace {

using fuzz::check;

constexpr std::uint8_t untouched = 0xa5;

// Rows of `bytesPerRow`, allocated up to the last pixel of the last row and no further.
struct Picture {
    std::size_t width = 0;
    std::size_t height = 0;
    std::size_t bytesPerRow = 0;
    std::size_t size = 0;
    std::unique_ptr<std::uint8_t[]> bytes;

    Picture(std::size_t w, std::size_t h, std::size_t padding)
        : width(w), height(h), bytesPerRow(w * 4 + padding),
          size(w && h ? bytesPerRow * (h - 1) + w * 4 : 0),
          bytes(std::make_unique<std::uint8_t[]>(std::max<std::size_t>(1, size))) {
        std::fill_n(bytes.get(), std::max<std::size_t>(1, size), untouched);
    }
    std::uint8_t* pixel(std::size_t x, std::size_t y) {
        return bytes.get() + y * bytesPerRow + x * 4;
    }
    BgraView view() const { return {bytes.get(), width, height, bytesPerRow}; }
};

std::size_t side(FuzzedDataProvider& input, std::size_t most) {
    return input.ConsumeIntegralInRange<std::size_t>(
        input.ConsumeIntegralInRange(0, 31) == 0 ? 0 : 1, most);
}

// The mean of channel `c` over the source area of output pixel (x, y), worked out in doubles.
double areaMean(const Picture& source, std::size_t width, std::size_t height, std::size_t x,
                std::size_t y, int c) {
    const double sx = static_cast<double>(source.width) / static_cast<double>(width);
    const double sy = static_cast<double>(source.height) / static_cast<double>(height);
    const double left = x * sx;
    const double right = (x + 1) * sx;
    const double top = y * sy;
    const double bottom = (y + 1) * sy;
    double sum = 0;
    for (auto j = static_cast<std::size_t>(top); j < source.height && j < bottom; ++j) {
        const double dy = std::min<double>(j + 1, bottom) - std::max<double>(j, top);
        for (auto i = static_cast<std::size_t>(left); i < source.width && i < right; ++i) {
            const double dx = std::min<double>(i + 1, right) - std::max<double>(i, left);
            sum += dx * dy * source.bytes[j * source.bytesPerRow + i * 4 + c];
        }
    }
    return sum / (sx * sy);
}

} // namespace
} // namespace lumatap::media

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace lumatap::media;
    FuzzedDataProvider input(data, size);
    std::size_t sourceWidth = side(input, 40);
    std::size_t sourceHeight = side(input, 40);
    std::size_t width = side(input, 40);
    std::size_t height = side(input, 40);
    // Now and then a long thin source into a tiny picture, for ratios of hundreds and more (a
    // wide window in a small thumbnail).
    const int shape = input.ConsumeIntegralInRange(0, 31);
    if (shape < 2) {
        std::size_t& length = shape == 0 ? sourceWidth : sourceHeight;
        std::size_t& across = shape == 0 ? sourceHeight : sourceWidth;
        length = input.ConsumeIntegralInRange<std::size_t>(1, 65535);
        across = std::min<std::size_t>(across, 3);
        width = std::min<std::size_t>(width, 4);
        height = std::min<std::size_t>(height, 4);
    }
    const bool keepsAlpha = input.ConsumeBool();
    // Noisy pictures only at small ratios: with thousands of source pixels to an output pixel,
    // 16-bit weights cannot follow every one of them to within a level, only a few.
    enum class Fill { flat, sprinkled, noisy };
    const bool wide = std::max(sourceWidth, sourceHeight) > 40;
    auto fill = static_cast<Fill>(input.ConsumeIntegralInRange(0, wide ? 1 : 2));
    const std::size_t rowsPerBand = input.ConsumeIntegralInRange<std::size_t>(1, 16);
    Picture source(sourceWidth, sourceHeight, input.ConsumeIntegralInRange(0, 12));
    const std::size_t outPadding = input.ConsumeIntegralInRange(0, 8);

    std::uint8_t colour[4];
    for (std::uint8_t& c : colour) {
        c = input.ConsumeIntegral<std::uint8_t>();
    }
    // Padding bytes too: they must never show.
    std::uint32_t spread = 1;
    for (std::size_t k = 0; k < source.size; ++k) {
        spread = spread * 1664525u + 1013904223u;
        source.bytes[k] = static_cast<std::uint8_t>(spread >> 24);
    }
    const auto pixels = sourceWidth * sourceHeight;
    for (std::size_t k = 0; k < pixels && fill != Fill::noisy; ++k) {
        std::copy_n(colour, 4, source.pixel(k % sourceWidth, k / sourceWidth));
    }
    const std::size_t sprinkles = fill == Fill::sprinkled ? input.ConsumeIntegralInRange(1, 8) : 0;
    for (std::size_t k = 0; k < sprinkles && pixels; ++k) {
        const auto at = input.ConsumeIntegralInRange<std::size_t>(0, pixels - 1);
        std::uint8_t* px = source.pixel(at % sourceWidth, at / sourceWidth);
        for (int c = 0; c < 4; ++c) {
            px[c] = input.ConsumeIntegral<std::uint8_t>();
        }
    }
    for (std::size_t k = 0; k < pixels && fill == Fill::noisy && input.remaining_bytes(); ++k) {
        std::uint8_t* px = source.pixel(k % sourceWidth, k / sourceWidth);
        for (int c = 0; c < 4; ++c) {
            px[c] = input.ConsumeIntegral<std::uint8_t>();
        }
    }

    Scaler scaler(sourceWidth, sourceHeight, width, height, keepsAlpha);
    Picture whole(width, height, outPadding);
    scaler.scale(source.view(), whole.bytes.get(), whole.bytesPerRow);

    if (!sourceWidth || !sourceHeight || !width || !height) {
        check(whole.bytes[0] == untouched, "nothing written for an empty size");
        return 0;
    }
    for (std::size_t y = 0; y < height; ++y) {
        for (std::size_t x = 0; x < width; ++x) {
            const std::uint8_t* px = whole.pixel(x, y);
            for (int c = 0; c < (keepsAlpha ? 4 : 3); ++c) {
                check(std::abs(px[c] - areaMean(source, width, height, x, y, c)) <= 1.0,
                      "every channel is the mean of its source area");
                check(fill != Fill::flat || px[c] == colour[c], "a flat colour stays that colour");
            }
            check(keepsAlpha || px[3] == 255, "opaque unless alpha is kept");
        }
        for (std::size_t k = width * 4; k < whole.bytesPerRow && y + 1 < height; ++k) {
            check(whole.bytes[y * whole.bytesPerRow + k] == untouched,
                  "the output's row padding is left alone");
        }
    }

    // Band by band, each band holding only the source rows named for it.
    Picture banded(width, height, outPadding);
    for (std::size_t top = 0; top < height; top += rowsPerBand) {
        const std::size_t end = std::min(height, top + rowsPerBand);
        const Scaler::Rows rows = scaler.sourceRows(top, end);
        check(rows.first < rows.end && rows.end <= sourceHeight, "a band's rows are in the source");
        Picture band(sourceWidth, rows.end - rows.first, source.bytesPerRow - sourceWidth * 4);
        std::copy_n(source.bytes.get() + rows.first * source.bytesPerRow, band.size,
                    band.bytes.get());
        scaler.scale(band.view(), rows.first, banded.bytes.get(), banded.bytesPerRow, top, end);
    }
    check(std::equal(whole.bytes.get(), whole.bytes.get() + whole.size, banded.bytes.get()),
          "band by band gives the same picture as all at once");
    return 0;
}
