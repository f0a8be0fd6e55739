#include "capture/x11/yuv.h"

#include "capture/x11/vector_clones.h"

#include <algorithm>
#include <cstring>

namespace lumatap::x11 {
namespace {

// The BT.709 weights of red and blue; green takes the rest.
constexpr double kr = 0.2126;
constexpr double kb = 0.0722;
constexpr double kg = 1 - kr - kb;

// Coefficients in 16-bit fixed point, scaled to the video range (219 steps of luma, 224 of
// chroma for 255 of each primary).
constexpr int bits = 16;
constexpr std::int32_t fixed(double value) {
    return static_cast<std::int32_t>(value * (1 << bits) + (value < 0 ? -0.5 : 0.5));
}
constexpr double lumaScale = 219.0 / 255;
constexpr double chromaScale = 224.0 / 255;
constexpr std::int32_t yR = fixed(kr * lumaScale);
constexpr std::int32_t yG = fixed(kg * lumaScale);
constexpr std::int32_t yB = fixed(kb * lumaScale);
constexpr std::int32_t cbR = fixed(-kr / (2 * (1 - kb)) * chromaScale);
constexpr std::int32_t cbB = fixed(0.5 * chromaScale);
// Chroma weights add up to exactly 0, so every grey has Cb and Cr of exactly 128.
constexpr std::int32_t cbG = -cbR - cbB;
constexpr std::int32_t crR = fixed(0.5 * chromaScale);
constexpr std::int32_t crB = fixed(-kb / (2 * (1 - kr)) * chromaScale);
constexpr std::int32_t crG = -crR - crB;

constexpr std::int32_t lumaBias = (16 << bits) + (1 << (bits - 1));
// Chroma works on sums of four pixels: two more bits.
constexpr std::int32_t chromaBias = (128 << (bits + 2)) + (1 << (bits + 1));

LUMATAP_VECTOR_CLONES
void lumaRow(const std::uint8_t* bgra, std::uint8_t* luma, std::size_t width) {
    for (std::size_t x = 0; x < width; ++x) {
        const std::uint8_t* p = bgra + 4 * x;
        std::int32_t sum = yB * p[0] + yG * p[1] + yR * p[2] + lumaBias;
        luma[x] = static_cast<std::uint8_t>(sum >> bits);
    }
}

// Cb/Cr of `pairs` whole 2x2 blocks of the rows `top` and `bottom`.
LUMATAP_VECTOR_CLONES
void chromaRow(const std::uint8_t* top, const std::uint8_t* bottom, std::uint8_t* chroma,
               std::size_t pairs) {
    for (std::size_t i = 0; i < pairs; ++i) {
        const std::uint8_t* a = top + 8 * i;
        const std::uint8_t* b = bottom + 8 * i;
        std::int32_t blue = a[0] + a[4] + b[0] + b[4];
        std::int32_t green = a[1] + a[5] + b[1] + b[5];
        std::int32_t red = a[2] + a[6] + b[2] + b[6];
        chroma[2 * i] = static_cast<std::uint8_t>(
            (cbB * blue + cbG * green + cbR * red + chromaBias) >> (bits + 2));
        chroma[2 * i + 1] = static_cast<std::uint8_t>(
            (crB * blue + crG * green + crR * red + chromaBias) >> (bits + 2));
    }
}

// The last block of an odd-width row: its one column counted twice.
void chromaEdge(const std::uint8_t* a, const std::uint8_t* b, std::uint8_t* chroma) {
    std::int32_t blue = 2 * (a[0] + b[0]);
    std::int32_t green = 2 * (a[1] + b[1]);
    std::int32_t red = 2 * (a[2] + b[2]);
    chroma[0] = static_cast<std::uint8_t>((cbB * blue + cbG * green + cbR * red + chromaBias) >>
                                          (bits + 2));
    chroma[1] = static_cast<std::uint8_t>((crB * blue + crG * green + crR * red + chromaBias) >>
                                          (bits + 2));
}

} // namespace

void convertToNV12(const BgraView& source, const NV12Target& target) {
    const std::size_t w = source.width;
    const std::size_t h = source.height;
    for (std::size_t y = 0; y < h; y += 2) {
        const std::uint8_t* top = source.data + y * source.bytesPerRow;
        // An odd last row pairs with itself.
        const std::uint8_t* bottom = y + 1 < h ? top + source.bytesPerRow : top;
        lumaRow(top, target.luma + y * target.lumaBytesPerRow, w);
        if (y + 1 < h) {
            lumaRow(bottom, target.luma + (y + 1) * target.lumaBytesPerRow, w);
        }
        std::uint8_t* chroma = target.chroma + (y / 2) * target.chromaBytesPerRow;
        chromaRow(top, bottom, chroma, w / 2);
        if (w % 2) {
            chromaEdge(top + 4 * (w - 1), bottom + 4 * (w - 1), chroma + (w - 1));
        }
    }
}

void paintBlack(const NV12Target& target, std::size_t width, std::size_t height) {
    for (std::size_t y = 0; y < height; ++y) {
        std::memset(target.luma + y * target.lumaBytesPerRow, 16, width);
    }
    const std::size_t chromaBytes = (width + 1) / 2 * 2;
    for (std::size_t y = 0; y < (height + 1) / 2; ++y) {
        std::memset(target.chroma + y * target.chromaBytesPerRow, 128, chromaBytes);
    }
}

} // namespace lumatap::x11
