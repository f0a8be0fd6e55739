// Laying a picture out in a stream's frame, and drawing the pointer over it.
#include "capture/x11/compose.h"

#include <gtest/gtest.h>

namespace lumatap::x11 {
namespace {

struct Fit {
    const char* name;
    std::size_t sourceWidth;
    std::size_t sourceHeight;
    std::size_t width;
    std::size_t height;
    bool keepAspect;
    Placement want;
};

void PrintTo(const Fit& f, std::ostream* os) {
    *os << f.name;
}

class Placements : public testing::TestWithParam<Fit> {};

// Catches a stretched or off-centre picture, one that spills out of the frame, or a corner on
// an odd row or column (which would blend the picture's chroma into the bars).
TEST_P(Placements, FitCentredOnEvenCorners) {
    const Fit& f = GetParam();
    Placement got = place(f.sourceWidth, f.sourceHeight, f.width, f.height, f.keepAspect);
    EXPECT_EQ(got.x, f.want.x);
    EXPECT_EQ(got.y, f.want.y);
    EXPECT_EQ(got.width, f.want.width);
    EXPECT_EQ(got.height, f.want.height);
}

INSTANTIATE_TEST_SUITE_P(
    Frames, Placements,
    testing::Values(Fit{"SameShape", 1920, 1080, 1280, 720, true, {0, 0, 1280, 720}},
                    Fit{"Wider", 400, 300, 320, 320, true, {0, 40, 320, 240}},
                    Fit{"Taller", 300, 400, 320, 320, true, {40, 0, 240, 320}},
                    Fit{"OddMargins", 400, 300, 33, 17, true, {4, 0, 23, 17}},
                    Fit{"Enlarged", 16, 9, 1920, 1080, true, {0, 0, 1920, 1080}},
                    Fit{"NeverEmpty", 10000, 1, 64, 48, true, {0, 22, 64, 1}},
                    Fit{"Stretched", 400, 300, 320, 320, false, {0, 0, 320, 320}}),
    [](const auto& info) { return std::string(info.param.name); });

std::vector<std::uint8_t> grey(std::size_t w, std::size_t h, std::uint8_t value) {
    return std::vector<std::uint8_t>(w * h * 4, value);
}

// Catches a pointer blended as if its colours were not premultiplied, or drawn past the
// picture's edges (memory that is not the picture's).
TEST(Pointer, BlendsPremultipliedAndClipsToThePicture) {
    auto picture = grey(4, 3, 100);
    // Opaque white, half-transparent black (premultiplied: colour 0), fully transparent.
    std::uint32_t pointer[] = {0xffffffff, 0x80000000, 0x00000000, 0xff0000ff};
    drawPointer(picture.data(), 4, 3, 16, pointer, 2, 2, 3, 2);
    // Only the pointer's top-left pixel lands inside, at (3, 2).
    EXPECT_EQ(picture[(2 * 4 + 3) * 4], 255);
    EXPECT_EQ(picture[(2 * 4 + 3) * 4 + 1], 255);
    EXPECT_EQ(picture[(2 * 4 + 3) * 4 + 2], 255);
    for (std::size_t i = 0; i < picture.size(); ++i) {
        if (i / 4 != 2 * 4 + 3) {
            ASSERT_EQ(picture[i], 100) << "byte " << i;
        }
    }
    picture = grey(4, 3, 100);
    drawPointer(picture.data(), 4, 3, 16, pointer, 2, 2, -1, 0);
    // (0, 0) gets the half-transparent black: 100 * 127 / 255, rounded.
    EXPECT_EQ(picture[0], 50);
    // (0, 1) gets opaque blue over grey: blue 255, green and red gone.
    EXPECT_EQ(picture[16], 255);
    EXPECT_EQ(picture[17], 0);
    EXPECT_EQ(picture[18], 0);
    // The transparent pixel left (1, 0) alone.
    EXPECT_EQ(picture[4], 100);
}

} // namespace
} // namespace lumatap::x11
