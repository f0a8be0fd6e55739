// The PNG encoder: files must decode to exactly the picture's colours (blue and red not
// swapped, padding and alpha bytes left out), and pictures it cannot encode give none.
#include "capture/media/png_encoder.h"

#include "tests/support/png.h"

#include <array>
#include <gtest/gtest.h>
#include <png.h>

namespace lumatap {
namespace {

struct Shape {
    std::size_t width, height, bytesPerRow;
};

std::ostream& operator<<(std::ostream& out, const Shape& s) {
    return out << s.width << "x" << s.height << " rows of " << s.bytesPerRow;
}

Image patterned(const Shape& s) {
    Image image{s.width, s.height, s.bytesPerRow, Bytes(s.bytesPerRow * s.height)};
    std::uint32_t seed = 99;
    for (auto& byte : image.pixels) {
        seed = seed * 1103515245u + 12345u;
        byte = static_cast<std::uint8_t>(seed >> 16);
    }
    return image;
}

class PNGRoundTrip : public testing::TestWithParam<Shape> {};

TEST_P(PNGRoundTrip, DecodesToTheSameOpaqueColours) {
    Image image = patterned(GetParam());
    auto file = media::encodePNGWithLibpng(image);
    ASSERT_TRUE(file);
    std::string_view bytes(reinterpret_cast<const char*>(file->data()), file->size());
    // Colour type 2, 8 bits: opaque RGB, so no reader can show the alpha bytes.
    ASSERT_GT(bytes.size(), 26u);
    EXPECT_EQ(bytes[24], 8);
    EXPECT_EQ(bytes[25], 2);
    auto png = test::decodePNG(bytes);
    ASSERT_TRUE(png);
    ASSERT_EQ(png->width, image.width);
    ASSERT_EQ(png->height, image.height);
    for (std::size_t y = 0; y < image.height; ++y) {
        for (std::size_t x = 0; x < image.width; ++x) {
            const std::uint8_t* p = &image.pixels[y * image.bytesPerRow + x * 4];
            std::uint32_t expected =
                (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[1]} << 8) | p[0];
            ASSERT_EQ(png->at(x, y), expected) << x << "," << y;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Encoder, PNGRoundTrip,
                         testing::Values(Shape{1, 1, 4}, Shape{2, 2, 8}, Shape{17, 5, 80},
                                         Shape{400, 225, 1600}, Shape{33, 7, 4 * 33 + 12}));

// Decodes to straight (not premultiplied) RGBA, 4 bytes a pixel.
std::optional<std::vector<std::uint8_t>> decodeRGBA(const Bytes& file, std::size_t& width,
                                                    std::size_t& height) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (!png_image_begin_read_from_memory(&image, file.data(), file.size())) {
        return std::nullopt;
    }
    image.format = PNG_FORMAT_RGBA;
    std::vector<std::uint8_t> pixels(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr)) {
        png_image_free(&image);
        return std::nullopt;
    }
    width = image.width;
    height = image.height;
    return pixels;
}

// Catches premultiplied colours written as they are (a half-transparent pixel coming out half
// as bright), alpha lost, blue and red swapped, and a clear pixel given a colour.
TEST(Encoder, TranslucentPictureRoundTripsAsStraightRGBA) {
    struct Case {
        std::uint8_t b, g, r, a; // premultiplied, as the picture holds it
        std::uint8_t wantR, wantG, wantB;
    };
    const std::vector<Case> cases = {
        {0, 0, 0, 0, 0, 0, 0},            // fully clear
        {0, 255, 0, 255, 0, 255, 0},      // opaque green
        {64, 32, 128, 128, 255, 64, 128}, // half-clear: colours doubled back
        {10, 20, 30, 60, 128, 85, 43},
        {1, 1, 1, 1, 255, 255, 255},
        // Not valid premultiplied (colour above alpha): held at full rather than wrapped.
        {200, 200, 200, 100, 255, 255, 255},
    };
    Image image{cases.size(), 1, cases.size() * 4 + 8, Bytes(cases.size() * 4 + 8), true};
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        std::copy_n(std::array<std::uint8_t, 4>{c.b, c.g, c.r, c.a}.begin(), 4,
                    image.pixels.begin() + static_cast<std::ptrdiff_t>(4 * i));
    }
    auto file = media::encodePNGWithLibpng(image);
    ASSERT_TRUE(file);
    ASSERT_GT(file->size(), 26u);
    EXPECT_EQ((*file)[25], 6) << "PNG colour type";
    std::size_t width = 0;
    std::size_t height = 0;
    auto pixels = decodeRGBA(*file, width, height);
    ASSERT_TRUE(pixels);
    ASSERT_EQ(width, cases.size());
    ASSERT_EQ(height, 1u);
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const Case& c = cases[i];
        const std::uint8_t* p = pixels->data() + 4 * i;
        EXPECT_EQ(p[3], c.a) << "pixel " << i;
        if (c.a == 0) {
            EXPECT_EQ(p[0] | p[1] | p[2], 0) << "pixel " << i;
            continue;
        }
        EXPECT_NEAR(p[0], c.wantR, 1) << "pixel " << i;
        EXPECT_NEAR(p[1], c.wantG, 1) << "pixel " << i;
        EXPECT_NEAR(p[2], c.wantB, 1) << "pixel " << i;
    }
}

// Catches alpha written for nothing: a picture with alpha that is opaque everywhere, or one
// whose alpha means nothing, stays RGB.
TEST(Encoder, OpaquePicturesStayRGB) {
    Image withAlpha{3, 2, 12, Bytes(24, 255), true};
    Image without{3, 2, 12, Bytes(24, 7), false};
    for (const Image* image : {&withAlpha, &without}) {
        auto file = media::encodePNGWithLibpng(*image);
        ASSERT_TRUE(file);
        ASSERT_GT(file->size(), 26u);
        EXPECT_EQ((*file)[25], 2) << "PNG colour type";
    }
}

struct Broken {
    const char* name;
    Image image;
};

std::ostream& operator<<(std::ostream& out, const Broken& b) {
    return out << b.name;
}

class PNGRefusal : public testing::TestWithParam<Broken> {};

TEST_P(PNGRefusal, GivesNone) {
    EXPECT_FALSE(media::encodePNGWithLibpng(GetParam().image));
}

INSTANTIATE_TEST_SUITE_P(Encoder, PNGRefusal,
                         testing::Values(Broken{"no width", {0, 2, 0, {}}},
                                         Broken{"no height", {2, 0, 8, {}}},
                                         Broken{"rows narrower than pixels", {4, 2, 12, Bytes(24)}},
                                         Broken{"rows missing", {4, 2, 16, Bytes(20)}}));

} // namespace
} // namespace lumatap
