// `thumb` against a real X server: the PNG must have the fitted size and show the test
// windows' colours where they are; a window must come out as its own content, whatever covers
// it and without the manager's decorations; missing targets and a reader that leaves early
// must end the way the host expects.
#include "tests/support/png.h"
#include "tests/support/xserver.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <thread>

namespace lumatap::test {
namespace {

constexpr std::uint32_t red = 0xff0000;
constexpr std::uint32_t green = 0x00ff00;
constexpr std::uint32_t blue = 0x0000ff;

// The noise that the test client paints into windows opened with pattern=1
// (tests/xclient/xclient.cpp holds the same function).
std::uint32_t patternAt(std::uint32_t x, std::uint32_t y) {
    std::uint32_t h = x * 0x9E3779B1u ^ y * 0x85EBCA77u;
    h ^= h >> 15;
    h *= 0x2C1B3C6Du;
    h ^= h >> 12;
    return h & 0xffffff;
}

std::uint32_t displayOf(const XServer& server) {
    auto result = run({LUMATAP_BIN, "list"}, server.env());
    return nlohmann::json::parse(result.out)["displays"][0]["id"].get<std::uint32_t>();
}

// A window manager takes windows on after they are mapped; a host only ever asks for ids that
// `list` has shown, so the tests wait for the same.
void waitUntilListed(const XServer& server, std::uint32_t id) {
    std::string last;
    for (int attempt = 0; attempt < 200; ++attempt) {
        auto result = run({LUMATAP_BIN, "list"}, server.env());
        last = result.out + result.err;
        auto doc = nlohmann::json::parse(result.out);
        for (const auto& window : doc["windows"]) {
            if (window["id"] == id) {
                return;
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    FAIL() << "window " << id << " never listed: " << last;
}

struct Thumb {
    RunResult result;
    std::optional<Decoded> png;
};

Thumb thumb(const XServer& server, const std::string& kind, std::uint32_t id, int maxWidth,
            int maxHeight) {
    Thumb t;
    t.result = run({LUMATAP_BIN, "thumb", kind, std::to_string(id), std::to_string(maxWidth),
                    std::to_string(maxHeight)},
                   server.env());
    t.png = decodePNG(t.result.out);
    return t;
}

// Pixels of `png` that differ from the pattern; 0 when it is exactly the window's content.
int patternMismatches(const Decoded& png) {
    int wrong = 0;
    for (std::size_t y = 0; y < png.height; ++y) {
        for (std::size_t x = 0; x < png.width; ++x) {
            wrong += png.at(x, y) !=
                     patternAt(static_cast<std::uint32_t>(x), static_cast<std::uint32_t>(y));
        }
    }
    return wrong;
}

void expectSuccess(const Thumb& t, std::size_t width, std::size_t height) {
    ASSERT_EQ(t.result.status, 0) << t.result.err;
    EXPECT_EQ(t.result.err, "");
    ASSERT_TRUE(t.png) << "standard output is not a PNG file";
    EXPECT_EQ(t.png->width, width);
    EXPECT_EQ(t.png->height, height);
}

// Catches a wrong fit, a misplaced or mis-coloured read of the monitor, channels swapped and a
// depth-32 window read with its alpha.
TEST(ThumbOnX, DisplayShowsTheWindowsWhereTheyAreInTheFittedSize) {
    XServer server(1920, 1080);
    XClient client(server);
    client.window(96, 96, 480, 288, red);
    client.window(384, 192, 480, 384, green);
    client.window(1152, 96, 384, 384, blue, "depth=32");
    std::uint32_t display = displayOf(server);

    struct Box {
        int maxWidth, maxHeight;
        std::size_t width, height;
    };
    for (Box box : {Box{400, 300, 400, 225}, Box{320, 240, 320, 180}, Box{1, 1, 2, 2},
                    Box{4000, 4000, 1920, 1080}}) {
        SCOPED_TRACE(std::to_string(box.maxWidth) + "x" + std::to_string(box.maxHeight));
        auto t = thumb(server, "display", display, box.maxWidth, box.maxHeight);
        expectSuccess(t, box.width, box.height);
    }

    // At 1/6 every window edge falls on a pixel boundary; points well inside each area must
    // be its colour.
    auto t = thumb(server, "display", display, 320, 240);
    expectSuccess(t, 320, 180);
    ASSERT_TRUE(t.png);
    struct Spot {
        std::size_t x, y;
        std::uint32_t colour;
    };
    for (Spot s : {Spot{20, 24, red}, Spot{40, 20, red}, Spot{100, 60, green}, Spot{70, 90, green},
                   Spot{224, 48, blue}, Spot{250, 70, blue}, Spot{300, 160, 0}, Spot{5, 5, 0}}) {
        EXPECT_TRUE(near(t.png->at(s.x, s.y), s.colour))
            << s.x << "," << s.y << " is " << std::hex << t.png->at(s.x, s.y);
    }
}

// Catches a window read off the screen (showing what covers it) instead of its own storage,
// and a read that does not wait for the program to repaint what was covered.
TEST(ThumbOnX, CoveredWindowComesOutAsItsOwnContent) {
    XServer server(1280, 720);
    XClient client(server);
    auto plain = client.window(40, 40, 400, 300, red);
    auto noisy = client.window(500, 100, 300, 200, 0x808080, "pattern=1");
    client.window(200, 150, 700, 400, green); // covers part of both
    client.ask("sync");

    auto t = thumb(server, "window", noisy, 1000, 1000);
    expectSuccess(t, 300, 200);
    ASSERT_TRUE(t.png);
    EXPECT_EQ(patternMismatches(*t.png), 0);

    auto scaled = thumb(server, "window", plain, 200, 200);
    expectSuccess(scaled, 200, 150);
    ASSERT_TRUE(scaled.png);
    for (std::size_t y = 0; y < 150; y += 7) {
        for (std::size_t x = 0; x < 200; x += 7) {
            ASSERT_TRUE(near(scaled.png->at(x, y), red)) << x << "," << y;
        }
    }
}

// Catches the manager's frame (title bar, borders) getting into the picture.
TEST(ThumbOnX, ManagedWindowLeavesOutTheDecorations) {
    XServer server(1280, 720);
    server.startWindowManager();
    XClient client(server);
    auto noisy = client.window(100, 100, 320, 240, 0x808080, "pattern=1 title=Noise");
    auto cover = client.window(150, 50, 200, 150, blue, "title=Cover");
    waitUntilListed(server, noisy);
    waitUntilListed(server, cover);
    auto t = thumb(server, "window", noisy, 320, 240);
    expectSuccess(t, 320, 240);
    ASSERT_TRUE(t.png);
    EXPECT_EQ(patternMismatches(*t.png), 0);
}

// Catches alpha leaking into the file: a depth-32 window must give an opaque RGB picture.
TEST(ThumbOnX, DeepWindowIsOpaque) {
    XServer server(800, 600);
    XClient client(server);
    auto deep = client.window(10, 10, 200, 100, blue, "depth=32");
    auto t = thumb(server, "window", deep, 100, 100);
    expectSuccess(t, 100, 50);
    ASSERT_GT(t.result.out.size(), 26u);
    EXPECT_EQ(t.result.out[25], 2) << "PNG colour type";
    ASSERT_TRUE(t.png);
    EXPECT_TRUE(near(t.png->at(50, 25), blue));
}

struct Gone {
    std::string name;
    std::string kind;
    int status;
    std::string err;
};

std::ostream& operator<<(std::ostream& out, const Gone& g) {
    return out << g.name;
}

// Catches a missing target reported with the wrong line or status, or with bytes on stdout.
class ThumbGone : public testing::TestWithParam<Gone> {};

TEST_P(ThumbGone, EndsWithTheLineAndStatusTheHostExpects) {
    XServer server(800, 600);
    XClient client(server);
    auto window = client.window(10, 10, 200, 100, red);
    client.ask("destroy " + std::to_string(window));
    const Gone& g = GetParam();
    // A destroyed window's id names nothing, and neither does a made-up display id.
    auto id = g.kind == "display" ? 12345u : window;
    auto t = thumb(server, g.kind, id, 400, 300);
    EXPECT_EQ(t.result.status, g.status);
    EXPECT_EQ(t.result.err, g.err);
    EXPECT_EQ(t.result.out, "");
}

INSTANTIATE_TEST_SUITE_P(
    ThumbOnX, ThumbGone,
    testing::Values(Gone{"DestroyedWindow", "window", 3, "gone: no such window\n"},
                    Gone{"UnknownDisplay", "display", 1, "gone: no such screen\n"}),
    [](const testing::TestParamInfo<Gone>& info) { return info.param.name; });

// Catches an unmapped window answered with a blank picture instead of an error.
TEST(ThumbOnX, UnmappedWindowIsAnError) {
    XServer server(800, 600);
    XClient client(server);
    auto hidden = client.window(10, 10, 200, 100, red, "map=0");
    auto t = thumb(server, "window", hidden, 400, 300);
    EXPECT_EQ(t.result.status, 1);
    EXPECT_EQ(t.result.err, "error: the window is not mapped\n");
    EXPECT_EQ(t.result.out, "");
}

// Catches a write to a reader that has gone being reported as a failure (or killing the
// process): the host closing the pipe early still ends the job with status 0 and no message.
TEST(ThumbOnX, ReaderThatLeavesEarlyStillEndsWithZero) {
    XServer server(1280, 720);
    XClient client(server);
    // Noise keeps the file far larger than a pipe's buffer, so the writer is still writing
    // when the reader leaves.
    auto noisy = client.window(0, 0, 800, 600, 0x808080, "pattern=1");
    ProcessOptions options = server.env();
    options.captureStdout = false;
    Process process({LUMATAP_BIN, "thumb", "window", std::to_string(noisy), "800", "600"}, options);
    EXPECT_EQ(process.read(8, std::chrono::seconds(10)), std::string("\x89PNG\r\n\x1a\n", 8));
    process.closeStdout();
    EXPECT_EQ(process.wait(std::chrono::seconds(10)), 0);
    process.drain();
    EXPECT_EQ(process.err(), "");
}

} // namespace
} // namespace lumatap::test
