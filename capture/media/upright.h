// Turning the picture of a rotated or flipped output upright.
#pragma once

#include "capture/media/yuv.h"
#include "capture/platform.h"

#include <cstddef>
#include <cstdint>
#include <utility>

namespace lumatap::media {

// The transforms at or past this one flip about the vertical axis before turning.
inline constexpr std::uint32_t flipped = 4;

// The buffer of an output with a transform holds the picture as the output's own pixels lie:
// a transform of 90 (numbered as wl_output.transform numbers them) means the upright picture
// turned a quarter counter-clockwise, after a flip about the vertical axis for the flipped
// ones. These undo that, for a picture `width` x `height` when upright.
struct Upright {
    std::uint32_t transform;
    std::size_t width;
    std::size_t height;

    bool quarter() const { return transform % 2 == 1; }
    // The buffer pixel that upright pixel (x, y) comes from; linear in x and y, so the
    // copy steps through the buffer by two fixed strides.
    std::pair<std::ptrdiff_t, std::ptrdiff_t> source(std::ptrdiff_t x, std::ptrdiff_t y) const {
        auto w = static_cast<std::ptrdiff_t>(width);
        auto h = static_cast<std::ptrdiff_t>(height);
        if (transform >= flipped) {
            x = w - 1 - x;
        }
        switch (transform % 4) {
        case 1:
            return {y, w - 1 - x};
        case 2:
            return {w - 1 - x, h - 1 - y};
        case 3:
            return {h - 1 - y, x};
        default:
            return {x, y};
        }
    }
    // Where a point of the buffer (in continuous coordinates) is in the upright picture.
    std::pair<double, double> point(double x, double y) const {
        auto w = static_cast<double>(width);
        auto h = static_cast<double>(height);
        std::pair<double, double> p{x, y};
        switch (transform % 4) {
        case 1:
            p = {w - y, x};
            break;
        case 2:
            p = {w - x, h - y};
            break;
        case 3:
            p = {y, h - x};
            break;
        default:
            break;
        }
        if (transform >= flipped) {
            p.first = w - p.first;
        }
        return p;
    }
    Rect rect(const Rect& r) const {
        auto [x0, y0] = point(r.x, r.y);
        auto [x1, y1] = point(r.x + r.width, r.y + r.height);
        return {std::min(x0, x1), std::min(y0, y1), std::abs(x1 - x0), std::abs(y1 - y0)};
    }
};

// Copies the buffer into `image` upright, in the one pass that copying takes anyway, a tile
// at a time so that the buffer's side of a quarter turn stays in the cache.
void copyUpright(const std::uint8_t* bytes, std::size_t stride, const Upright& upright,
                 Image& image);

// The same for `area` of the upright picture alone, into an `image` that already has the
// upright size, so that a small change costs a small copy. `stride` is negative for a buffer
// whose rows run bottom to top; `swapRedBlue` for one whose bytes are RGBA.
void copyUprightArea(const std::uint8_t* bytes, std::ptrdiff_t stride, const Upright& upright,
                     const Area& area, bool swapRedBlue, Image& image);

} // namespace lumatap::media
