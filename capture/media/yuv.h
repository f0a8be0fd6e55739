// BGRA pictures into the two planes of NV12: bi-planar 4:2:0, 8 bits, video range (Y 16 to
// 235, Cb and Cr 16 to 240), BT.709 matrix, each chroma sample the mean of a 2x2 block.
#pragma once

#include "capture/media/scale.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace lumatap::media {

// Where a picture lands in an NV12 buffer: `luma` at its top-left pixel, `chroma` at the
// Cb/Cr pair of that pixel's 2x2 block. The picture must start on an even row and column.
struct NV12Target {
    std::uint8_t* luma = nullptr;
    std::size_t lumaBytesPerRow = 0;
    std::uint8_t* chroma = nullptr;
    std::size_t chromaBytesPerRow = 0;
};

// Converts every pixel of `source` (alpha not looked at). An odd last column or row forms
// its chroma from the pixels it has.
void convertToNV12(const BgraView& source, const NV12Target& target);

// Paints `width` by `height` pixels black (Y 16, Cb and Cr 128).
void paintBlack(const NV12Target& target, std::size_t width, std::size_t height);

// A rectangle of pixels.
struct Area {
    std::size_t x = 0;
    std::size_t y = 0;
    std::size_t width = 0;
    std::size_t height = 0;

    bool empty() const { return width == 0 || height == 0; }
    bool operator==(const Area&) const = default;
};

// Scales BGRA pictures of one size to another and converts them to NV12 in the same pass, two
// output rows at a time, so the scaled picture never exists as BGRA. Shrinking averages the
// area each output pixel covers; enlarging interpolates linearly. Each output row is first
// scaled down the source's columns, then across to the output's columns, and only then
// converted, so the colour formula runs once per output pixel. Any part of the output can be
// made on its own from the source pixels it needs, for pictures of which only a part changed.
class NV12Scaler {
  public:
    // Working memory of one thread.
    struct Scratch {
        std::vector<std::uint16_t> top;
        std::vector<std::uint16_t> bottom;
        std::vector<std::uint16_t> scaledTop;
        std::vector<std::uint16_t> scaledBottom;
        std::vector<std::int32_t> columnFirst;
    };

    // Which code does the work: the best the processor runs, AVX2 at most, SSE2 at most, or
    // plain C++ only. All give the same bytes; tests compare them.
    enum class Kernels { best, avx2, sse2, portable };

    NV12Scaler(std::size_t sourceWidth, std::size_t sourceHeight, std::size_t width,
               std::size_t height, Kernels kernels = Kernels::best);

    std::size_t sourceWidth() const { return sourceWidth_; }
    std::size_t sourceHeight() const { return sourceHeight_; }
    std::size_t width() const { return width_; }
    std::size_t height() const { return height_; }

    // The source pixels that the output pixels `out` are made of.
    Area sourceArea(const Area& out) const;
    // The output pixels that a change of the source pixels `in` alters, grown to whole 2x2
    // chroma blocks (so to an even corner).
    Area outputArea(const Area& in) const;

    // Makes the output pixels `out` (its corner on an even row and column) from `pixels`, which
    // hold at least sourceArea(out) and whose first pixel is source pixel (pixelsX, pixelsY).
    // `target` is where output pixel (0, 0) goes.
    void convert(const BgraView& pixels, std::size_t pixelsX, std::size_t pixelsY, const Area& out,
                 const NV12Target& target, Scratch& scratch) const;

  private:
    std::size_t sourceWidth_;
    std::size_t sourceHeight_;
    std::size_t width_;
    std::size_t height_;
    enum class Vectors { none, sse2, avx2, avx512 };
    Vectors vectors_ = Vectors::none;
    // Every output column the mean of two source columns.
    bool halving_ = false;
    // Two taps a column in a pattern that repeats every eight output columns, within 16 source
    // columns (yuv::resampleRepeating).
    bool repeating_ = false;
    // Output pixel i is made of the `taps` source pixels from first[i] on, weighed by
    // weights[i * taps + k] (yuv_weights.h). Columns in 14-bit fixed point adding up to exactly
    // 1 << 14, the taps padded to 2 or 4 (with weights of 0) so that vector code takes them in
    // pairs.
    std::size_t columnTaps_ = 2;
    std::vector<std::uint32_t> columnFirst_;
    std::vector<std::int16_t> columnWeights_;
    // Rows in 16-bit fixed point for the vertical pass, adding up to 65535.
    std::size_t rowTaps_ = 1;
    std::vector<std::uint32_t> rowFirst_;
    std::vector<std::uint16_t> rowWeights_;
};

} // namespace lumatap::media
