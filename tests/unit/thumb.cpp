// `thumb` over the simulated platform: the fitted size, what it asks the platform for, what it
// prints, and how each failure ends.
#include "still/thumb.h"

#include "capture/sim/sim.h"
#include "channels/exit.h"
#include "channels/output.h"
#include "tests/support/child.h"
#include "tests/support/png.h"

#include <cmath>
#include <gtest/gtest.h>
#include <thread>

namespace lumatap {
namespace {

constexpr DisplayID displayID = 7;
constexpr WindowID windowID = 42;

// A 3 by 2 picture (red, green, blue; a dark brown, white, black), with alpha and padding
// bytes that must not matter.
std::shared_ptr<const Image> picture() {
    auto image = std::make_shared<Image>();
    image->width = 3;
    image->height = 2;
    image->bytesPerRow = 16; // one spare pixel a row
    image->pixels = {0x00, 0x00, 0xff, 0x00, 0x00, 0xff, 0x00, 0x80, 0xff, 0x00, 0x00,
                     0xff, 0xee, 0xee, 0xee, 0xee, 0x10, 0x20, 0x30, 0x00, 0xff, 0xff,
                     0xff, 0x11, 0x00, 0x00, 0x00, 0x22, 0xee, 0xee, 0xee, 0xee};
    return image;
}

sim::World world() {
    sim::World w;
    auto content = std::make_shared<ShareableContent>();
    content->displays.push_back(std::make_shared<const Display>(Display{displayID}));
    auto window = std::make_shared<Window>();
    window->windowID = windowID;
    window->frame = {100, 100, 607, 341};
    window->isOnScreen = false; // off screen, yet still a target
    content->windows.push_back(window);
    w.content = content;
    w.displays = {{displayID, platform::DisplayMode{1920, 1080}, {0, 0, 1920, 1080}}};
    w.mainDisplay = displayID;
    w.image = picture();
    return w;
}

struct FitCase {
    double width, height, maxWidth, maxHeight;
    std::int64_t fittedWidth, fittedHeight;
};

std::ostream& operator<<(std::ostream& out, const FitCase& c) {
    return out << c.width << "x" << c.height << " into " << c.maxWidth << "x" << c.maxHeight;
}

// Fitting must shrink to the box, never enlarge, truncate, keep 2 pixels a side, and must not
// lose a pixel to floating-point error (607 * (400 / 607) is 399.99999999999994).
class FitTable : public testing::TestWithParam<FitCase> {};

TEST_P(FitTable, GivesTheSizeToCapture) {
    const FitCase& c = GetParam();
    EXPECT_EQ(fit({c.width, c.height}, c.maxWidth, c.maxHeight),
              (Fitted{c.fittedWidth, c.fittedHeight}));
}

INSTANTIATE_TEST_SUITE_P(
    Thumb, FitTable,
    testing::Values(FitCase{3024, 1964, 400, 300, 400, 259}, // 259.79 is truncated
                    FitCase{1920, 1080, 320, 240, 320, 180},
                    FitCase{800, 600, 4000, 4000, 800, 600}, // never enlarged
                    FitCase{1000, 10, 100, 100, 100, 2},     // the short side is raised to 2
                    FitCase{10, 1000, 100, 100, 2, 100},
                    FitCase{151.5, 76.5, 1000, 1000, 151, 76}, // fractions truncated, not rounded
                    FitCase{1920, 1080, 1, 1, 2, 2}, FitCase{1, 1, 400, 300, 2, 2},
                    FitCase{0, 500, 100, 100, 2, 100}, // no width: the height alone decides
                    FitCase{0, 50, 100, 100, 2, 50}, FitCase{0, 0, 100, 100, 2, 2},
                    FitCase{200, 100, 100, 50, 100, 50}, // both factors equal
                    FitCase{607, 341, 400, 300, 400, 224}, FitCase{606, 454, 320, 240, 320, 239},
                    FitCase{289, 100, 200, 300, 200, 69},
                    // a width whose product with the box overflows still fits the box
                    FitCase{0x1p1020, 1000, 512, 300, 512, 2},
                    // sides that are no size must not keep the other side out of the box
                    FitCase{1920, -0.0, 400, 300, 400, 2}, FitCase{NAN, 100, 50, 50, 2, 50}));

test::ChildResult runThumb(const std::string& kind, std::uint32_t id, double maxWidth = 400,
                           double maxHeight = 300) {
    return test::runInChild([&] { thumb(kind, id, maxWidth, maxHeight); });
}

// The payload must be exactly one PNG file of the captured picture, opaque, with nothing
// before or after it and nothing on standard error.
TEST(Thumb, PrintsExactlyOnePNGOfTheCapturedImage) {
    sim::World w = world();
    // An error that comes with an image is dropped: the image is what counts.
    w.imageError = makeError("sim", 5, "ignored");
    sim::setWorld(w);
    auto ran = runThumb("display", displayID);
    ASSERT_TRUE(ran.exited);
    EXPECT_EQ(ran.status, 0);
    EXPECT_EQ(ran.err, "");
    static const std::string end = std::string("IEND\xae\x42\x60\x82", 8);
    ASSERT_GE(ran.out.size(), end.size());
    EXPECT_EQ(ran.out.substr(ran.out.size() - end.size()), end);
    auto png = test::decodePNG(ran.out);
    ASSERT_TRUE(png);
    ASSERT_EQ(png->width, 3u);
    ASSERT_EQ(png->height, 2u);
    EXPECT_EQ(png->at(0, 0), 0xff0000u);
    EXPECT_EQ(png->at(1, 0), 0x00ff00u);
    EXPECT_EQ(png->at(2, 0), 0x0000ffu);
    EXPECT_EQ(png->at(0, 1), 0x302010u);
    EXPECT_EQ(png->at(1, 1), 0xffffffu);
    EXPECT_EQ(png->at(2, 1), 0x000000u);
}

struct RequestCase {
    std::string kind;
    std::uint32_t id;
    std::string expected; // "WIDTHxHEIGHT cursor FILTER"
};

std::ostream& operator<<(std::ostream& out, const RequestCase& c) {
    return out << c.kind << " " << c.id;
}

// thumb must ask for the fitted size with the pointer hidden, of the target it resolved.
class ThumbRequest : public testing::TestWithParam<RequestCase> {};

TEST_P(ThumbRequest, AsksForTheFittedSizeWithoutPointer) {
    sim::World w = world();
    w.imageDelivery = sim::Delivery::never;
    sim::setWorld(w);
    const RequestCase& c = GetParam();
    auto ran = test::runInChild([&] {
        // The capture never answers; this reports what it was asked for and ends the child.
        std::thread([] {
            for (;;) {
                auto configuration = sim::lastImageConfiguration();
                auto filter = sim::lastImageFilter();
                if (configuration && filter) {
                    std::string line =
                        std::to_string(configuration->width.value_or(-1)) + "x" +
                        std::to_string(configuration->height.value_or(-1)) + " " +
                        (configuration->showsCursor
                             ? (*configuration->showsCursor ? "shown" : "hidden")
                             : "unset") +
                        " " +
                        (filter->window    ? "window " + std::to_string(filter->window->windowID)
                         : filter->display ? "display " + std::to_string(filter->display->displayID)
                                           : "none");
                    exitProcess(0, line);
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
        }).detach();
        thumb(c.kind, c.id, 400, 300);
    });
    EXPECT_EQ(ran.status, 0);
    EXPECT_EQ(ran.err, c.expected + "\n");
    EXPECT_EQ(ran.out, "");
}

INSTANTIATE_TEST_SUITE_P(
    Thumb, ThumbRequest,
    testing::Values(RequestCase{"display", displayID, "400x225 hidden display 7"},
                    RequestCase{"window", windowID, "400x224 hidden window 42"}));

struct FailureCase {
    std::string name;
    std::function<void(sim::World&)> change;
    std::string kind;
    std::uint32_t id;
    int status;
    std::string err;
};

std::ostream& operator<<(std::ostream& out, const FailureCase& c) {
    return out << c.name;
}

// Every failure must end with its own line and status and leave standard output empty.
class ThumbFailure : public testing::TestWithParam<FailureCase> {};

TEST_P(ThumbFailure, EndsWithItsLineAndNoPayload) {
    const FailureCase& c = GetParam();
    sim::World w = world();
    c.change(w);
    sim::setWorld(w);
    auto ran = runThumb(c.kind, c.id);
    ASSERT_TRUE(ran.exited) << "timed out: " << ran.timedOut << " signal " << ran.signal;
    EXPECT_EQ(ran.status, c.status);
    EXPECT_EQ(ran.err, c.err + "\n");
    EXPECT_EQ(ran.out, "");
}

INSTANTIATE_TEST_SUITE_P(
    Thumb, ThumbFailure,
    testing::Values(
        FailureCase{"NoSuchDisplay", [](sim::World&) {}, "display", 8, 1, "gone: no such screen"},
        FailureCase{"NoSuchWindow", [](sim::World&) {}, "window", 43, 3, "gone: no such window"},
        FailureCase{"KindIsCaseSensitive", [](sim::World&) {}, "Display", displayID, 3,
                    "gone: no such window"},
        FailureCase{"SnapshotFails",
                    [](sim::World& w) {
                        w.content = nullptr;
                        w.contentError = makeError("sim", 1, "no snapshot");
                    },
                    "display", displayID, 1, "error: no snapshot"},
        FailureCase{"NoImageNoError", [](sim::World& w) { w.image = nullptr; }, "display",
                    displayID, 1, "error: unknown"},
        FailureCase{"CaptureError",
                    [](sim::World& w) {
                        w.image = nullptr;
                        w.imageError = makeError("lumatap.x11", 101, "the window no longer exists");
                    },
                    "window", windowID, 1, "error: the window no longer exists"},
        FailureCase{"CaptureNotAllowed",
                    [](sim::World& w) {
                        w.image = nullptr;
                        w.imageError = makeError("SCStreamErrorDomain", -3801, "declined");
                    },
                    "display", displayID, 2,
                    "permission: Screen Recording is not allowed for Beamora"},
        FailureCase{"PNGFails", [](sim::World& w) { w.pngFails = true; }, "display", displayID, 1,
                    "png"},
        FailureCase{"ImageUnencodable",
                    [](sim::World& w) {
                        auto empty = std::make_shared<Image>();
                        w.image = empty;
                    },
                    "display", displayID, 1, "png"}),
    [](const testing::TestParamInfo<FailureCase>& info) { return info.param.name; });

} // namespace
} // namespace lumatap
