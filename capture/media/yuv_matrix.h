// The BT.709 matrix from BGRA to YCbCr in the video range, in fixed point, and the biases that
// round and offset its sums: the one formula that every conversion kernel works with.
#pragma once

#include <cstdint>

namespace lumatap::media::yuv {

// The BT.709 weights of red and blue; green takes the rest.
constexpr double kr = 0.2126;
constexpr double kb = 0.0722;
constexpr double kg = 1 - kr - kb;

// The BT.709 matrix in fixed point of `fraction` bits, scaled to the video range (219 steps of
// luma, 224 of chroma for 255 of each primary).
struct Matrix {
    std::int32_t yR, yG, yB, cbR, cbG, cbB, crR, crG, crB;
};
constexpr std::int32_t fixed(double value, int fraction) {
    return static_cast<std::int32_t>(value * (1 << fraction) + (value < 0 ? -0.5 : 0.5));
}
constexpr double lumaScale = 219.0 / 255;
constexpr double chromaScale = 224.0 / 255;
constexpr Matrix matrixOf(int fraction) {
    Matrix m{};
    m.yR = fixed(kr * lumaScale, fraction);
    m.yG = fixed(kg * lumaScale, fraction);
    m.yB = fixed(kb * lumaScale, fraction);
    m.cbR = fixed(-kr / (2 * (1 - kb)) * chromaScale, fraction);
    m.cbB = fixed(0.5 * chromaScale, fraction);
    // Chroma weights add up to exactly 0, so every grey has Cb and Cr of exactly 128.
    m.cbG = -m.cbR - m.cbB;
    m.crR = fixed(0.5 * chromaScale, fraction);
    m.crB = fixed(-kb / (2 * (1 - kr)) * chromaScale, fraction);
    m.crG = -m.crR - m.crB;
    return m;
}

// 16 bits for converting source pixels.
constexpr int bits = 16;
constexpr Matrix matrix = matrixOf(bits);

constexpr std::int32_t lumaBias = (16 << bits) + (1 << (bits - 1));
// Chroma works on sums of four pixels: two more bits.
constexpr std::int32_t chromaBias = (128 << (bits + 2)) + (1 << (bits + 1));

// The colour formula on 8.7 pixels with 15-bit coefficients (which pmaddwd takes), so in
// units of 1 << 22. Chroma works on the sum of two pixels of the mean of two rows: one more
// bit.
constexpr int scaledBits = 22;
constexpr Matrix matrix15 = matrixOf(15);
constexpr std::int32_t scaledLumaBias = (16 << scaledBits) + (1 << (scaledBits - 1));
constexpr std::int32_t scaledChromaBias = (128 << (scaledBits + 1)) + (1 << scaledBits);

} // namespace lumatap::media::yuv
