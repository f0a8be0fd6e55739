// Area-averaging resize: each output pixel must be the mean of the source area it covers
// (no aliasing of thin strokes), flat colours must stay exact, and row padding must never
// leak into the picture.
#include "capture/media/scale.h"

#include <algorithm>
#include <cmath>
#include <gtest/gtest.h>

namespace lumatap::media {
namespace {

struct Sizes {
    std::size_t sourceWidth, sourceHeight, width, height;
};

std::ostream& operator<<(std::ostream& out, const Sizes& s) {
    return out << s.sourceWidth << "x" << s.sourceHeight << "->" << s.width << "x" << s.height;
}

struct Picture {
    std::size_t width, height, bytesPerRow;
    std::vector<std::uint8_t> bytes;
    BgraView view() const { return {bytes.data(), width, height, bytesPerRow}; }
};

// Rows padded with bytes of 0xff that no output may show.
Picture padded(std::size_t width, std::size_t height) {
    std::size_t bytesPerRow = width * 4 + 12;
    return {width, height, bytesPerRow, std::vector<std::uint8_t>(bytesPerRow * height, 0xff)};
}

void set(Picture& p, std::size_t x, std::size_t y, std::uint8_t b, std::uint8_t g, std::uint8_t r) {
    std::uint8_t* px = &p.bytes[y * p.bytesPerRow + x * 4];
    px[0] = b;
    px[1] = g;
    px[2] = r;
    px[3] = 0; // alpha, which must come out as 255 whatever it was
}

class FlatColour : public testing::TestWithParam<Sizes> {};

TEST_P(FlatColour, StaysExactlyThatColour) {
    const Sizes& s = GetParam();
    Picture source = padded(s.sourceWidth, s.sourceHeight);
    for (std::size_t y = 0; y < s.sourceHeight; ++y) {
        for (std::size_t x = 0; x < s.sourceWidth; ++x) {
            set(source, x, y, 0x12, 0x9a, 0xfe);
        }
    }
    Image out = scaled(source.view(), s.width, s.height);
    ASSERT_EQ(out.pixels.size(), s.width * s.height * 4);
    for (std::size_t i = 0; i < out.pixels.size(); i += 4) {
        ASSERT_EQ(out.pixels[i], 0x12) << i;
        ASSERT_EQ(out.pixels[i + 1], 0x9a) << i;
        ASSERT_EQ(out.pixels[i + 2], 0xfe) << i;
        ASSERT_EQ(out.pixels[i + 3], 0xff) << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Scale, FlatColour,
                         testing::Values(Sizes{1920, 1080, 400, 225}, Sizes{1920, 1080, 320, 180},
                                         Sizes{607, 341, 400, 224}, Sizes{7, 3, 2, 2},
                                         Sizes{1000, 10, 100, 2}, Sizes{3, 3, 7, 5},
                                         Sizes{1, 1, 2, 2}, Sizes{5, 5, 5, 5},
                                         Sizes{32767, 2, 2, 2}));

// The mean of the source over output pixel (x, y)'s area, worked out in doubles.
double areaMean(const Picture& p, const Sizes& s, std::size_t x, std::size_t y, int channel) {
    double sx = static_cast<double>(s.sourceWidth) / static_cast<double>(s.width);
    double sy = static_cast<double>(s.sourceHeight) / static_cast<double>(s.height);
    double sum = 0;
    for (std::size_t j = 0; j < s.sourceHeight; ++j) {
        double dy = std::min(j + 1.0, (y + 1) * sy) - std::max<double>(j, y * sy);
        if (dy <= 0) {
            continue;
        }
        for (std::size_t i = 0; i < s.sourceWidth; ++i) {
            double dx = std::min(i + 1.0, (x + 1) * sx) - std::max<double>(i, x * sx);
            if (dx > 0) {
                sum += dx * dy * p.bytes[j * p.bytesPerRow + i * 4 + channel];
            }
        }
    }
    return sum / (sx * sy);
}

class AreaMean : public testing::TestWithParam<Sizes> {};

TEST_P(AreaMean, EveryPixelIsTheMeanOfItsArea) {
    const Sizes& s = GetParam();
    Picture source = padded(s.sourceWidth, s.sourceHeight);
    std::uint32_t seed = 7;
    for (std::size_t y = 0; y < s.sourceHeight; ++y) {
        for (std::size_t x = 0; x < s.sourceWidth; ++x) {
            seed = seed * 1664525u + 1013904223u;
            set(source, x, y, static_cast<std::uint8_t>(seed >> 8),
                static_cast<std::uint8_t>(seed >> 16), static_cast<std::uint8_t>(seed >> 24));
        }
    }
    Image out = scaled(source.view(), s.width, s.height);
    for (std::size_t y = 0; y < s.height; ++y) {
        for (std::size_t x = 0; x < s.width; ++x) {
            for (int c = 0; c < 3; ++c) {
                double expected = areaMean(source, s, x, y, c);
                ASSERT_NEAR(out.pixels[(y * s.width + x) * 4 + c], expected, 1.0)
                    << x << "," << y << " channel " << c;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Scale, AreaMean,
                         testing::Values(Sizes{37, 23, 10, 7}, Sizes{96, 54, 20, 11},
                                         Sizes{60, 60, 10, 10}, Sizes{10, 7, 23, 15},
                                         Sizes{101, 3, 100, 2}, Sizes{3, 101, 1, 9},
                                         // ratios of thousands: catches rounding errors of
                                         // the weights piling up past the one absorbing them
                                         Sizes{20000, 1, 2, 1}, Sizes{2, 30001, 1, 3}));

struct Banding {
    Sizes sizes;
    std::size_t rowsPerBand;
};

std::ostream& operator<<(std::ostream& out, const Banding& b) {
    return out << b.sizes << " in bands of " << b.rowsPerBand;
}

// Read in strips, each output band must come out exactly as from the whole picture: catches
// a band's rows taken from the wrong offset or a band missing the row it shares.
class BandByBand : public testing::TestWithParam<Banding> {};

TEST_P(BandByBand, GivesTheSamePictureAsAllAtOnce) {
    const Sizes& s = GetParam().sizes;
    Picture source = padded(s.sourceWidth, s.sourceHeight);
    for (std::size_t y = 0; y < s.sourceHeight; ++y) {
        for (std::size_t x = 0; x < s.sourceWidth; ++x) {
            set(source, x, y, static_cast<std::uint8_t>(x * 7 + y),
                static_cast<std::uint8_t>(y * 3), static_cast<std::uint8_t>(x ^ y));
        }
    }
    Image whole = scaled(source.view(), s.width, s.height);
    Scaler scaler(s.sourceWidth, s.sourceHeight, s.width, s.height);
    std::vector<std::uint8_t> banded(s.width * s.height * 4, 0x55);
    for (std::size_t top = 0; top < s.height; top += GetParam().rowsPerBand) {
        std::size_t end = std::min(s.height, top + GetParam().rowsPerBand);
        Scaler::Rows rows = scaler.sourceRows(top, end);
        ASSERT_LT(rows.first, rows.end);
        ASSERT_LE(rows.end, s.sourceHeight);
        // Only the band's own rows, so that reading outside them cannot go unnoticed.
        Picture band = padded(s.sourceWidth, rows.end - rows.first);
        std::copy(source.bytes.begin() + rows.first * source.bytesPerRow,
                  source.bytes.begin() + rows.end * source.bytesPerRow, band.bytes.begin());
        scaler.scale(band.view(), rows.first, banded.data(), s.width * 4, top, end);
    }
    EXPECT_EQ(banded, whole.pixels);
}

INSTANTIATE_TEST_SUITE_P(Scale, BandByBand,
                         testing::Values(Banding{{1920, 1080, 400, 225}, 13},
                                         Banding{{607, 341, 400, 224}, 7},
                                         Banding{{100, 100, 100, 100}, 9},
                                         Banding{{10, 7, 23, 15}, 4}, Banding{{64, 64, 8, 8}, 1}));

// One-pixel black and white stripes, like the strokes of small text, at exactly 1/6: every
// output pixel covers three of each and must be mid grey. Point sampling or a two-tap filter
// would give black, white or moiré.
TEST(Scale, ThinStripesAtOneSixthTurnGreyNotAliased) {
    Picture source = padded(1920, 1080);
    for (std::size_t y = 0; y < 1080; ++y) {
        for (std::size_t x = 0; x < 1920; ++x) {
            std::uint8_t v = ((x + y) % 2) ? 255 : 0;
            set(source, x, y, v, v, v);
        }
    }
    Image out = scaled(source.view(), 320, 180);
    for (std::size_t i = 0; i < out.pixels.size(); i += 4) {
        ASSERT_NEAR(out.pixels[i], 127.5, 0.5) << i / 4;
        ASSERT_NEAR(out.pixels[i + 2], 127.5, 0.5) << i / 4;
    }
}

} // namespace
} // namespace lumatap::media
