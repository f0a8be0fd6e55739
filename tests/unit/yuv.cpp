// The colours the host sees: BGRA to NV12 in BT.709 video range, checked against the formula
// computed in floating point.
#include "capture/media/yuv.h"

#include <array>
#include <cmath>
#include <cstring>
#include <gtest/gtest.h>
#include <random>

namespace lumatap::media {
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

// A plain reference of the scaler's filter: each output pixel the mean of the source area it
// covers when shrinking, linear interpolation between the two nearest centres when enlarging.
std::vector<std::vector<double>> referenceWeights(std::size_t source, std::size_t target) {
    std::vector<std::vector<double>> weights(target, std::vector<double>(source, 0.0));
    for (std::size_t i = 0; i < target; ++i) {
        if (target <= source) {
            double begin = static_cast<double>(i) * source / target;
            double end = static_cast<double>(i + 1) * source / target;
            for (std::size_t k = 0; k < source; ++k) {
                double overlap = std::min<double>(k + 1, end) - std::max<double>(k, begin);
                weights[i][k] = std::max(0.0, overlap) / (end - begin);
            }
        } else {
            double centre = (i + 0.5) * source / target - 0.5;
            centre = std::clamp(centre, 0.0, static_cast<double>(source - 1));
            auto left = static_cast<std::size_t>(centre);
            std::size_t right = std::min(left + 1, source - 1);
            weights[i][left] += 1 - (centre - left);
            weights[i][right] += centre - left;
        }
    }
    return weights;
}

struct Rgb {
    double r;
    double g;
    double b;
};

std::vector<Rgb> referenceScale(const std::vector<std::uint8_t>& bgra, std::size_t sw,
                                std::size_t sh, std::size_t w, std::size_t h) {
    auto across = referenceWeights(sw, w);
    auto down = referenceWeights(sh, h);
    std::vector<Rgb> out(w * h, Rgb{0, 0, 0});
    for (std::size_t y = 0; y < h; ++y) {
        for (std::size_t x = 0; x < w; ++x) {
            Rgb& o = out[y * w + x];
            for (std::size_t sy = 0; sy < sh; ++sy) {
                if (down[y][sy] == 0) {
                    continue;
                }
                for (std::size_t sx = 0; sx < sw; ++sx) {
                    double weight = down[y][sy] * across[x][sx];
                    const std::uint8_t* p = &bgra[(sy * sw + sx) * 4];
                    o.b += weight * p[0];
                    o.g += weight * p[1];
                    o.r += weight * p[2];
                }
            }
        }
    }
    return out;
}

std::vector<std::uint8_t> noise(std::size_t w, std::size_t h, unsigned seed) {
    std::mt19937 random(seed);
    std::vector<std::uint8_t> pixels(w * h * 4);
    for (auto& byte : pixels) {
        byte = static_cast<std::uint8_t>(random());
    }
    return pixels;
}

// Every luma and chroma sample of `canvas` within 1 of the formula applied to the reference
// scaler's colours (chroma: the mean of each 2x2 block).
void expectNearReference(const Canvas& canvas, const std::vector<Rgb>& want, std::size_t w,
                         std::size_t h, const std::string& what) {
    std::size_t wrong = 0;
    for (std::size_t y = 0; y < h; ++y) {
        for (std::size_t x = 0; x < w; ++x) {
            const Rgb& c = want[y * w + x];
            wrong += std::abs(canvas.y(x, y) - exact(c.r, c.g, c.b).y) > 1;
        }
    }
    for (std::size_t y = 0; y < h; y += 2) {
        for (std::size_t x = 0; x < w; x += 2) {
            std::size_t x1 = std::min(x + 1, w - 1);
            std::size_t y1 = std::min(y + 1, h - 1);
            const Rgb* q[] = {&want[y * w + x], &want[y * w + x1], &want[y1 * w + x],
                              &want[y1 * w + x1]};
            Rgb mean{0, 0, 0};
            for (const Rgb* p : q) {
                mean.r += p->r / 4;
                mean.g += p->g / 4;
                mean.b += p->b / 4;
            }
            YCbCr e = exact(mean.r, mean.g, mean.b);
            wrong += std::abs(canvas.cb(x, y) - e.cb) > 1;
            wrong += std::abs(canvas.cr(x, y) - e.cr) > 1;
        }
    }
    EXPECT_EQ(wrong, 0u) << what;
    EXPECT_EQ(canvas.touchedOutside(), 0u) << what;
}

struct Sizes {
    std::size_t sourceWidth;
    std::size_t sourceHeight;
    std::size_t width;
    std::size_t height;
};
class FusedPass : public testing::TestWithParam<Sizes> {};

// Catches a fused scale-and-convert that strays from scaling then converting: wrong weights,
// lost edge columns, odd sizes and widths that are no multiple of the vector width, and
// writes past the picture.
TEST_P(FusedPass, MatchesAReferenceScalerAndTheFormula) {
    Sizes s = GetParam();
    auto pixels = noise(s.sourceWidth, s.sourceHeight, 11);
    auto want = referenceScale(pixels, s.sourceWidth, s.sourceHeight, s.width, s.height);
    for (auto kernels : {NV12Scaler::Kernels::best, NV12Scaler::Kernels::avx2,
                         NV12Scaler::Kernels::sse2, NV12Scaler::Kernels::portable}) {
        NV12Scaler scaler(s.sourceWidth, s.sourceHeight, s.width, s.height, kernels);
        NV12Scaler::Scratch scratch;
        Canvas canvas(s.width, s.height);
        scaler.convert({pixels.data(), s.sourceWidth, s.sourceHeight, s.sourceWidth * 4}, 0, 0,
                       {0, 0, s.width, s.height}, canvas.target(), scratch);
        expectNearReference(canvas, want, s.width, s.height,
                            std::to_string(s.sourceWidth) + "x" + std::to_string(s.sourceHeight) +
                                " to " + std::to_string(s.width) + "x" + std::to_string(s.height) +
                                " kernels " + std::to_string(static_cast<int>(kernels)));
    }
}

// Besides odd and tiny sizes: 3:2 and 2:1 (the common screen to frame ratios) at widths that
// fill whole vectors and at widths that leave tails, three taps a pixel, and more than four.
INSTANTIATE_TEST_SUITE_P(Sizes, FusedPass,
                         testing::Values(Sizes{48, 27, 32, 18}, Sizes{64, 36, 32, 18},
                                         Sizes{37, 23, 19, 11}, Sizes{101, 7, 33, 5},
                                         Sizes{13, 9, 40, 21}, Sizes{5, 3, 5, 3},
                                         Sizes{70, 41, 69, 40}, Sizes{3, 2, 1, 1},
                                         Sizes{1, 1, 7, 3}, Sizes{203, 45, 61, 44},
                                         Sizes{96, 54, 64, 36}, Sizes{129, 37, 86, 25},
                                         Sizes{150, 30, 75, 15}, Sizes{134, 20, 67, 10},
                                         Sizes{100, 9, 37, 9}, Sizes{24, 14, 37, 23}));

// Catches vector kernels that stray from the plain ones (which run where the processor has no
// vectors): pixels or lanes mixed up, tails of widths that are no multiple of the vector width
// lost, padding taps that count or read past the source. Both must give the same bytes, for
// every width up to several vectors, shrinking and enlarging.
TEST(FusedPass, VectorKernelsGiveThePortableBytes) {
    std::size_t compared = 0;
    for (std::size_t sourceWidth = 1; sourceWidth <= 70; ++sourceWidth) {
        for (std::size_t width : {std::size_t{1}, std::size_t{2}, sourceWidth / 3 + 1,
                                  sourceWidth / 2, sourceWidth / 2 + 1, sourceWidth * 2 / 3,
                                  sourceWidth * 2 / 3 + 1, sourceWidth + 3, sourceWidth * 2 + 1}) {
            if (width == 0) {
                continue;
            }
            const std::size_t sourceHeight = 5 + sourceWidth % 4;
            const std::size_t height = 3 + width % 3;
            if (width == sourceWidth && height == sourceHeight) {
                continue;
            }
            auto pixels = noise(sourceWidth, sourceHeight, static_cast<unsigned>(sourceWidth));
            BgraView view{pixels.data(), sourceWidth, sourceHeight, sourceWidth * 4};
            NV12Scaler portable(sourceWidth, sourceHeight, width, height,
                                NV12Scaler::Kernels::portable);
            NV12Scaler::Scratch scratch;
            Canvas want(width, height);
            portable.convert(view, 0, 0, {0, 0, width, height}, want.target(), scratch);
            for (auto kernels : {NV12Scaler::Kernels::best, NV12Scaler::Kernels::avx2,
                                 NV12Scaler::Kernels::sse2}) {
                NV12Scaler vector(sourceWidth, sourceHeight, width, height, kernels);
                Canvas got(width, height);
                vector.convert(view, 0, 0, {0, 0, width, height}, got.target(), scratch);
                ASSERT_EQ(got.luma, want.luma) << sourceWidth << " to " << width;
                ASSERT_EQ(got.chroma, want.chroma) << sourceWidth << " to " << width;
                ASSERT_EQ(got.touchedOutside(), 0u) << sourceWidth << " to " << width;
                ++compared;
            }
        }
    }
    EXPECT_GT(compared, 1000u);
}

// Catches a part that starts mid-row (an odd number of vectors in, or not a whole vector)
// landing elsewhere than a letterboxed frame's picture area, or made differently from the same
// part of a whole conversion, with either kernel.
TEST(FusedPass, PartsMidRowLandInsideALetterbox) {
    const std::size_t sw = 300;
    const std::size_t sh = 60;
    const std::size_t w = 200;
    const std::size_t h = 40;
    // The picture sits 14 pixels right and 6 down in a frame of bars.
    const std::size_t left = 14;
    const std::size_t top = 6;
    Canvas frame(w + 2 * left, h + 2 * top);
    auto pixels = noise(sw, sh, 9);
    for (auto kernels : {NV12Scaler::Kernels::best, NV12Scaler::Kernels::avx2,
                         NV12Scaler::Kernels::sse2, NV12Scaler::Kernels::portable}) {
        NV12Scaler scaler(sw, sh, w, h, kernels);
        NV12Scaler::Scratch scratch;
        auto picture = [&](Canvas& canvas) {
            NV12Target t = canvas.target();
            return NV12Target{t.luma + top * t.lumaBytesPerRow + left, t.lumaBytesPerRow,
                              t.chroma + top / 2 * t.chromaBytesPerRow + left, t.chromaBytesPerRow};
        };
        Canvas whole = frame;
        scaler.convert({pixels.data(), sw, sh, sw * 4}, 0, 0, {0, 0, w, h}, picture(whole),
                       scratch);
        for (Area out : {Area{2, 0, 30, 8}, Area{34, 10, 98, 14}, Area{100, 20, 100, 20},
                         Area{64, 2, 16, 2}, Area{198, 38, 2, 2}, Area{6, 4, 186, 36}}) {
            Area needed = scaler.sourceArea(out);
            std::vector<std::uint8_t> part(needed.width * needed.height * 4);
            for (std::size_t r = 0; r < needed.height; ++r) {
                std::memcpy(&part[r * needed.width * 4],
                            &pixels[((needed.y + r) * sw + needed.x) * 4], needed.width * 4);
            }
            Canvas patched = frame;
            scaler.convert({part.data(), needed.width, needed.height, needed.width * 4}, needed.x,
                           needed.y, out, picture(patched), scratch);
            std::size_t wrong = 0;
            for (std::size_t y = 0; y < frame.height; ++y) {
                for (std::size_t x = 0; x < frame.width; ++x) {
                    bool inside = x >= left + out.x && x < left + out.x + out.width &&
                                  y >= top + out.y && y < top + out.y + out.height;
                    // Chroma belongs to whole 2x2 blocks.
                    bool blockInside =
                        x / 2 * 2 >= left + out.x && x / 2 * 2 < left + out.x + out.width &&
                        y / 2 * 2 >= top + out.y && y / 2 * 2 < top + out.y + out.height;
                    wrong += patched.y(x, y) != (inside ? whole.y(x, y) : frame.y(x, y));
                    wrong += patched.cb(x, y) != (blockInside ? whole.cb(x, y) : frame.cb(x, y));
                    wrong += patched.cr(x, y) != (blockInside ? whole.cr(x, y) : frame.cr(x, y));
                }
            }
            EXPECT_EQ(wrong, 0u) << out.x << "," << out.y << " " << out.width << "x" << out.height;
            EXPECT_EQ(patched.touchedOutside(), 0u);
        }
    }
}

// Catches flat colours that drift (a grey with a colour cast, white beyond 235) when scaled.
TEST(FusedPass, KeepsFlatColoursExact) {
    for (Colour rgb : {Colour{255, 255, 255}, Colour{0, 0, 0}, Colour{128, 128, 128},
                       Colour{255, 0, 0}, Colour{17, 230, 99}}) {
        auto pixels = flat(57, 31, rgb);
        NV12Scaler scaler(57, 31, 20, 11);
        NV12Scaler::Scratch scratch;
        Canvas canvas(20, 11);
        scaler.convert({pixels.data(), 57, 31, 57 * 4}, 0, 0, {0, 0, 20, 11}, canvas.target(),
                       scratch);
        Canvas whole(1, 1);
        convertToNV12({pixels.data(), 1, 1, 4}, whole.target());
        for (std::size_t y = 0; y < 11; ++y) {
            for (std::size_t x = 0; x < 20; ++x) {
                EXPECT_NEAR(canvas.y(x, y), whole.y(0, 0), 1);
                EXPECT_NEAR(canvas.cb(x, y), whole.cb(0, 0), 1);
                EXPECT_NEAR(canvas.cr(x, y), whole.cr(0, 0), 1);
            }
        }
    }
}

// Catches a part made from the wrong source pixels or offsets: every part of the output made
// alone, from only the source area it names, equals the same part of a whole conversion, and
// the parts that a changed source area alters cover every output byte that changed.
TEST(FusedPass, PartsMatchTheWholeAndCoverEveryChange) {
    for (Sizes s : {Sizes{97, 61, 40, 26}, Sizes{40, 26, 97, 61}, Sizes{64, 48, 64, 48},
                    Sizes{301, 171, 128, 72}}) {
        auto before = noise(s.sourceWidth, s.sourceHeight, 3);
        NV12Scaler scaler(s.sourceWidth, s.sourceHeight, s.width, s.height);
        NV12Scaler::Scratch scratch;
        Canvas whole(s.width, s.height);
        BgraView view{before.data(), s.sourceWidth, s.sourceHeight, s.sourceWidth * 4};
        scaler.convert(view, 0, 0, {0, 0, s.width, s.height}, whole.target(), scratch);
        std::mt19937 random(5);
        for (int round = 0; round < 20; ++round) {
            std::size_t x = random() % s.sourceWidth;
            std::size_t y = random() % s.sourceHeight;
            Area changed{x, y, 1 + random() % (s.sourceWidth - x),
                         1 + random() % (s.sourceHeight - y)};
            auto after = before;
            for (std::size_t r = changed.y; r < changed.y + changed.height; ++r) {
                for (std::size_t c = changed.x * 4; c < (changed.x + changed.width) * 4; ++c) {
                    after[r * s.sourceWidth * 4 + c] = static_cast<std::uint8_t>(random());
                }
            }
            Canvas fresh(s.width, s.height);
            scaler.convert({after.data(), s.sourceWidth, s.sourceHeight, s.sourceWidth * 4}, 0, 0,
                           {0, 0, s.width, s.height}, fresh.target(), scratch);
            Area out = scaler.outputArea(changed);
            ASSERT_EQ(out.x % 2, 0u);
            ASSERT_EQ(out.y % 2, 0u);
            Area needed = scaler.sourceArea(out);
            ASSERT_LE(needed.x + needed.width, s.sourceWidth);
            ASSERT_LE(needed.y + needed.height, s.sourceHeight);
            // Only the needed pixels, in a buffer of their own.
            std::vector<std::uint8_t> part(needed.width * needed.height * 4);
            for (std::size_t r = 0; r < needed.height; ++r) {
                std::memcpy(&part[r * needed.width * 4],
                            &after[((needed.y + r) * s.sourceWidth + needed.x) * 4],
                            needed.width * 4);
            }
            Canvas patched = whole;
            scaler.convert({part.data(), needed.width, needed.height, needed.width * 4}, needed.x,
                           needed.y, out, patched.target(), scratch);
            EXPECT_EQ(patched.luma, fresh.luma) << "round " << round;
            EXPECT_EQ(patched.chroma, fresh.chroma) << "round " << round;
        }
    }
}

} // namespace
} // namespace lumatap::media
