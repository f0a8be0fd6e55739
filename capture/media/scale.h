// Resizing of 8-bit BGRA pictures to an exact width and height by area averaging: every output
// pixel is the mean of the source area it covers, partly covered source pixels counted by the
// share they contribute. Thin strokes (text) fade into grey instead of breaking up into
// aliasing patterns, at any ratio. Still images and capture streams share it.
#pragma once

#include "capture/platform.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace lumatap::media {

// Rows of BGRA pixels owned by someone else; the alpha bytes are looked at only by a Scaler that
// keeps alpha.
struct BgraView {
    const std::uint8_t* data = nullptr;
    std::size_t width = 0;
    std::size_t height = 0;
    std::size_t bytesPerRow = 0;
};

// The weights for one pair of sizes, worked out once and reused for every picture of those
// sizes (a stream's frames). Any two non-zero sizes work, enlarging included.
class Scaler {
  public:
    // With `keepsAlpha` the alpha bytes are averaged like the colours (right for premultiplied
    // pixels) instead of coming out 255.
    Scaler(std::size_t sourceWidth, std::size_t sourceHeight, std::size_t width, std::size_t height,
           bool keepsAlpha = false);

    std::size_t sourceWidth() const { return sourceWidth_; }
    std::size_t sourceHeight() const { return sourceHeight_; }
    std::size_t width() const { return width_; }
    std::size_t height() const { return height_; }

    // Writes width() by height() pixels into `out`, rows `outBytesPerRow` apart; opaque (alpha
    // 255) unless the scaler keeps alpha. `source` must have the source size this scaler was made
    // for.
    void scale(const BgraView& source, std::uint8_t* out, std::size_t outBytesPerRow);

    // For working band by band (a picture read in strips): the source rows [first, end) that
    // output rows [firstRow, endRow) are made of. Neighbouring bands share at most one row.
    struct Rows {
        std::size_t first = 0;
        std::size_t end = 0;
    };
    Rows sourceRows(std::size_t firstRow, std::size_t endRow) const;
    // Writes output rows [firstRow, endRow) into `out` (which holds the whole output, row y at
    // out + y * outBytesPerRow) from `band`, whose first row is source row `bandTop` and which
    // holds at least the rows that sourceRows() names for them.
    void scale(const BgraView& band, std::size_t bandTop, std::uint8_t* out,
               std::size_t outBytesPerRow, std::size_t firstRow, std::size_t endRow);

  private:
    // Output pixel i is the weighted sum of `count` source pixels from `first` on, with the
    // weights at `weights[offset...]`; the weights of one output pixel add up to exactly
    // `one`, so a flat colour stays exactly that colour.
    struct Span {
        std::uint32_t first = 0;
        std::uint32_t count = 0;
        std::uint32_t offset = 0;
    };
    struct Axis {
        std::vector<Span> spans;
        std::vector<std::uint32_t> weights;
    };
    static Axis axis(std::size_t source, std::size_t target);

    std::size_t sourceWidth_;
    std::size_t sourceHeight_;
    std::size_t width_;
    std::size_t height_;
    bool keepsAlpha_;
    Axis columns_;
    Axis rows_;
    std::vector<std::uint32_t> sums_;   // one output row, summed down the source rows
    std::vector<std::uint16_t> column_; // that row at 8 more bits of precision
};

// `source` resized to width by height as a new opaque image with tightly packed rows.
Image scaled(const BgraView& source, std::size_t width, std::size_t height);

} // namespace lumatap::media
