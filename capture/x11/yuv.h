// BGRA pictures into the two planes of NV12: bi-planar 4:2:0, 8 bits, video range (Y 16 to
// 235, Cb and Cr 16 to 240), BT.709 matrix, each chroma sample the mean of a 2x2 block.
#pragma once

#include "capture/x11/scale.h"

#include <cstddef>
#include <cstdint>

namespace lumatap::x11 {

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

} // namespace lumatap::x11
