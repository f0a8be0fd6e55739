// The colours the host sees: BGRA to NV12 in BT.709 video range, checked against the formula
// computed in floating point.
#include "capture/x11/yuv.h"

#include <array>
#include <cmath>
#include <gtest/gtest.h>
#include <random>

namespace lumatap::x11 {
namespace {

struct YCbCr {
    double y;
    double cb;
    double cr;
};

YCbCr exact(double r, double g, double b) {
    const double kr = 0.2126;
    const double kb = 0.0722;
    const double kg = 1 - kr - kb;
    double luma = (kr * r + kg * g + kb * b) / 255;
    return {16 + 219 * luma, 128 + 224 * ((b / 255 - luma) / (2 * (1 - kb))),
            128 + 224 * ((r / 255 - luma) / (2 * (1 - kr)))};
}

// An NV12 buffer with a guard frame of bytes around the picture's place.
struct Canvas {
    static constexpr std::size_t margin = 4;
    std::size_t width;
    std::size_t height;
    std::size_t stride;
    std::vector<std::uint8_t> luma;
    std::vector<std::uint8_t> chroma;

    Canvas(std::size_t w, std::size_t h)
        : width(w), height(h), stride(w + 2 * margin + 1), luma(stride * (h + 2 * margin), 0xA5),
          chroma(stride * ((h + 1) / 2 + margin), 0xA5) {}

    NV12Target target() {
        return {luma.data() + margin * stride + margin, stride,
                chroma.data() + margin / 2 * stride + margin, stride};
    }
    std::uint8_t y(std::size_t x, std::size_t row) const {
        return luma[(row + margin) * stride + margin + x];
    }
    std::uint8_t cb(std::size_t x, std::size_t row) const {
        return chroma[(row / 2 + margin / 2) * stride + margin + x / 2 * 2];
    }
    std::uint8_t cr(std::size_t x, std::size_t row) const {
        return chroma[(row / 2 + margin / 2) * stride + margin + x / 2 * 2 + 1];
    }
    // Bytes outside the picture that were touched.
    std::size_t touchedOutside() const {
        std::size_t count = 0;
        for (std::size_t r = 0; r < luma.size() / stride; ++r) {
            for (std::size_t c = 0; c < stride; ++c) {
                bool inside =
                    r >= margin && r < margin + height && c >= margin && c < margin + width;
                count += !inside && luma[r * stride + c] != 0xA5;
            }
        }
        std::size_t chromaWidth = (width + 1) / 2 * 2;
        for (std::size_t r = 0; r < chroma.size() / stride; ++r) {
            for (std::size_t c = 0; c < stride; ++c) {
                bool inside = r >= margin / 2 && r < margin / 2 + (height + 1) / 2 && c >= margin &&
                              c < margin + chromaWidth;
                count += !inside && chroma[r * stride + c] != 0xA5;
            }
        }
        return count;
    }
};

std::vector<std::uint8_t> flat(std::size_t w, std::size_t h, std::array<std::uint8_t, 3> rgb) {
    std::vector<std::uint8_t> bgra(w * h * 4);
    for (std::size_t i = 0; i < w * h; ++i) {
        bgra[4 * i] = rgb[2];
        bgra[4 * i + 1] = rgb[1];
        bgra[4 * i + 2] = rgb[0];
        bgra[4 * i + 3] = 0; // alpha is not looked at
    }
    return bgra;
}

using Colour = std::array<std::uint8_t, 3>;
class FlatColours : public testing::TestWithParam<Colour> {};

// Catches a wrong matrix, range or rounding: a flat colour must land within 1 of BT.709 video
// range, everywhere in the picture, odd edges included.
TEST_P(FlatColours, LandWithinOneOfTheFormula) {
    auto [r, g, b] = GetParam();
    for (auto [w, h] : {std::pair<std::size_t, std::size_t>{6, 4}, {5, 3}, {1, 1}}) {
        auto pixels = flat(w, h, GetParam());
        Canvas canvas(w, h);
        convertToNV12({pixels.data(), w, h, w * 4}, canvas.target());
        YCbCr want = exact(r, g, b);
        for (std::size_t row = 0; row < h; ++row) {
            for (std::size_t x = 0; x < w; ++x) {
                EXPECT_NEAR(canvas.y(x, row), want.y, 1) << w << "x" << h << " at " << x;
                EXPECT_NEAR(canvas.cb(x, row), want.cb, 1) << w << "x" << h << " at " << x;
                EXPECT_NEAR(canvas.cr(x, row), want.cr, 1) << w << "x" << h << " at " << x;
            }
        }
        EXPECT_EQ(canvas.touchedOutside(), 0u) << w << "x" << h;
    }
}

INSTANTIATE_TEST_SUITE_P(Colours, FlatColours,
                         testing::Values(Colour{0, 0, 0}, Colour{255, 255, 255},
                                         Colour{128, 128, 128}, Colour{255, 0, 0},
                                         Colour{0, 255, 0}, Colour{0, 0, 255}, Colour{255, 255, 0},
                                         Colour{0, 255, 255}, Colour{255, 0, 255},
                                         Colour{200, 100, 50}, Colour{17, 230, 99}));

// Catches chroma taken from one pixel instead of the mean of its 2x2 block, and blocks or rows
// mixed up on a busy picture.
TEST(BusyPicture, ChromaIsTheMeanOfEachBlock) {
    constexpr std::size_t w = 37;
    constexpr std::size_t h = 23;
    std::mt19937 random(7);
    std::vector<std::uint8_t> pixels(w * h * 4);
    for (auto& byte : pixels) {
        byte = static_cast<std::uint8_t>(random());
    }
    Canvas canvas(w, h);
    convertToNV12({pixels.data(), w, h, w * 4}, canvas.target());
    auto at = [&](std::size_t x, std::size_t y, int channel) {
        return static_cast<double>(pixels[(y * w + x) * 4 + static_cast<std::size_t>(channel)]);
    };
    for (std::size_t y = 0; y < h; ++y) {
        for (std::size_t x = 0; x < w; ++x) {
            EXPECT_NEAR(canvas.y(x, y), exact(at(x, y, 2), at(x, y, 1), at(x, y, 0)).y, 1);
        }
    }
    for (std::size_t y = 0; y < h; y += 2) {
        for (std::size_t x = 0; x < w; x += 2) {
            std::size_t x1 = std::min(x + 1, w - 1);
            std::size_t y1 = std::min(y + 1, h - 1);
            double mean[3];
            for (int c = 0; c < 3; ++c) {
                mean[c] = (at(x, y, c) + at(x1, y, c) + at(x, y1, c) + at(x1, y1, c)) / 4;
            }
            YCbCr want = exact(mean[2], mean[1], mean[0]);
            EXPECT_NEAR(canvas.cb(x, y), want.cb, 1) << x << "," << y;
            EXPECT_NEAR(canvas.cr(x, y), want.cr, 1) << x << "," << y;
        }
    }
    EXPECT_EQ(canvas.touchedOutside(), 0u);
}

// Catches bars that are not video-range black, or paint that spills past its area.
TEST(Bars, PaintVideoRangeBlackInsideTheirAreaOnly) {
    Canvas canvas(5, 3);
    paintBlack(canvas.target(), 5, 3);
    for (std::size_t y = 0; y < 3; ++y) {
        for (std::size_t x = 0; x < 5; ++x) {
            EXPECT_EQ(canvas.y(x, y), 16);
            EXPECT_EQ(canvas.cb(x, y), 128);
            EXPECT_EQ(canvas.cr(x, y), 128);
        }
    }
    EXPECT_EQ(canvas.touchedOutside(), 0u);
}

} // namespace
} // namespace lumatap::x11
