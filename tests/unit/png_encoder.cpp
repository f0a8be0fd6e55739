// The PNG encoder: files must decode to exactly the picture's colours (blue and red not
// swapped, padding and alpha bytes left out), and pictures it cannot encode give none.
#include "capture/png/png_encoder.h"

#include "tests/support/png.h"

#include <gtest/gtest.h>

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
    auto file = encodePNGWithLibpng(image);
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

struct Broken {
    const char* name;
    Image image;
};

std::ostream& operator<<(std::ostream& out, const Broken& b) {
    return out << b.name;
}

class PNGRefusal : public testing::TestWithParam<Broken> {};

TEST_P(PNGRefusal, GivesNone) {
    EXPECT_FALSE(encodePNGWithLibpng(GetParam().image));
}

INSTANTIATE_TEST_SUITE_P(Encoder, PNGRefusal,
                         testing::Values(Broken{"no width", {0, 2, 0, {}}},
                                         Broken{"no height", {2, 0, 8, {}}},
                                         Broken{"rows narrower than pixels", {4, 2, 12, Bytes(24)}},
                                         Broken{"rows missing", {4, 2, 16, Bytes(20)}}));

} // namespace
} // namespace lumatap
