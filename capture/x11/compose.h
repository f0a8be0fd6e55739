// Laying a captured picture out in a stream's frame: where it goes, and the pointer on top.
#pragma once

#include <cstddef>
#include <cstdint>

namespace lumatap::x11 {

struct Placement {
    std::size_t x = 0;
    std::size_t y = 0;
    std::size_t width = 0;
    std::size_t height = 0;

    bool operator==(const Placement&) const = default;
};

// Where a source of sourceWidth by sourceHeight goes in a frame of width by height: the whole
// frame, or with `keepAspect` the largest centred area of the source's shape. The corner is
// put on an even row and column, so the picture's chroma blocks never straddle a bar.
Placement place(std::size_t sourceWidth, std::size_t sourceHeight, std::size_t width,
                std::size_t height, bool keepAspect);

// Draws a pointer image (premultiplied ARGB, one 32-bit word a pixel, `pointerWidth` a row)
// over BGRA pixels, its top-left corner at (left, top) of the picture; only the part that
// overlaps the picture is drawn.
void drawPointer(std::uint8_t* bgra, std::size_t width, std::size_t height, std::size_t bytesPerRow,
                 const std::uint32_t* argb, std::size_t pointerWidth, std::size_t pointerHeight,
                 std::int64_t left, std::int64_t top);

} // namespace lumatap::x11
