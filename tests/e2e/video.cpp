// `video` against a real X server: frames of exactly W*H*3/2 bytes with the window's colour in
// BT.709 video range and black bars around it, the pointer drawn where it is, new frames when
// the content changes and repeats while it stands still, and the three ways the host sees a
// stream end: the window closed, the reader gone, the parent gone.
#include "tests/support/xserver.h"

#include <cmath>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <set>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>

namespace lumatap::test {
namespace {

using namespace std::chrono_literals;

std::uint32_t displayOf(const XServer& server) {
    auto result = run({LUMATAP_BIN, "list"}, server.env());
    return nlohmann::json::parse(result.out)["displays"][0]["id"].get<std::uint32_t>();
}

struct YCbCr {
    double y;
    double cb;
    double cr;
};

// BT.709, video range, from 8-bit RGB.
YCbCr bt709(std::uint32_t rgb) {
    double r = ((rgb >> 16) & 0xff) / 255.0;
    double g = ((rgb >> 8) & 0xff) / 255.0;
    double b = (rgb & 0xff) / 255.0;
    double luma = 0.2126 * r + 0.7152 * g + 0.0722 * b;
    return {16 + 219 * luma, 128 + 224 * (b - luma) / 1.8556, 128 + 224 * (r - luma) / 1.5748};
}

struct Frame {
    std::string bytes;
    int width;
    int height;

    YCbCr at(int x, int y) const {
        auto byte = [&](std::size_t i) {
            return static_cast<double>(static_cast<std::uint8_t>(bytes[i]));
        };
        std::size_t pair = static_cast<std::size_t>(width * height + (y / 2) * width + x / 2 * 2);
        return {byte(static_cast<std::size_t>(y * width + x)), byte(pair), byte(pair + 1)};
    }
};

void expectColour(const Frame& frame, int x, int y, YCbCr want, const char* where) {
    YCbCr got = frame.at(x, y);
    EXPECT_NEAR(got.y, want.y, 2) << where << " at " << x << "," << y;
    EXPECT_NEAR(got.cb, want.cb, 2) << where << " at " << x << "," << y;
    EXPECT_NEAR(got.cr, want.cr, 2) << where << " at " << x << "," << y;
}

const YCbCr black{16, 128, 128};

class Stream {
  public:
    Stream(const XServer& server, const std::string& kind, std::uint32_t id, int width, int height,
           int fps, int idle)
        : width(width), height(height) {
        ProcessOptions options = server.env();
        options.captureStdout = false;
        process = std::make_unique<Process>(
            std::vector<std::string>{LUMATAP_BIN, "video", kind, std::to_string(id),
                                     std::to_string(width), std::to_string(height),
                                     std::to_string(fps), std::to_string(idle)},
            options);
    }

    std::size_t size() const { return static_cast<std::size_t>(width * height * 3 / 2); }

    // The next frame, whole; none when the stream ended or stalled.
    std::optional<Frame> next(std::chrono::milliseconds timeout = 5s) {
        std::string bytes = process->read(size(), timeout);
        if (bytes.size() != size()) {
            return std::nullopt;
        }
        return Frame{std::move(bytes), width, height};
    }

    int width;
    int height;
    std::unique_ptr<Process> process;
};

struct Layout {
    const char* name;
    int width;
    int height;
    int insideX; // a point well inside the picture
    int insideY;
    int barX; // a point well inside a bar
    int barY;
};

void PrintTo(const Layout& l, std::ostream* os) {
    *os << l.name;
}

class WindowLayouts : public testing::TestWithParam<Layout> {};

// Catches wrong frame boundaries (a stream the host cannot cut), wrong colours, and a picture
// that is stretched, off centre, or bordered by anything but black.
TEST_P(WindowLayouts, FramesShowTheColourInsideBlackBars) {
    const Layout& l = GetParam();
    XServer server(1280, 720);
    XClient client(server);
    constexpr std::uint32_t colour = 0x3080c0;
    // Away from the middle of the screen, where the pointer rests.
    auto window = client.window(0, 0, 400, 300, colour);
    Stream stream(server, "window", window, l.width, l.height, 30, 10);
    for (int i = 0; i < 3; ++i) {
        auto frame = stream.next();
        ASSERT_TRUE(frame) << "frame " << i << " did not come whole";
        expectColour(*frame, l.insideX, l.insideY, bt709(colour), "picture");
        expectColour(*frame, l.barX, l.barY, black, "bar");
    }
    EXPECT_TRUE(stream.process->waitForErr("ready\n", 1s));
}

INSTANTIATE_TEST_SUITE_P(
    Video, WindowLayouts,
    // 400x300 into 320x320 leaves a 320x240 picture between bars of 40 rows; into 33x17 a
    // 23x17 picture from column 4 (odd sizes, so the frame size has a tail).
    testing::Values(Layout{"BarsAboveAndBelow", 320, 320, 160, 160, 160, 10},
                    Layout{"BarBelowToo", 320, 320, 160, 60, 160, 310},
                    Layout{"OddSizeBarsLeftAndRight", 33, 17, 15, 8, 1, 8}),
    [](const auto& info) { return std::string(info.param.name); });

// Whether the pointer shows around (x, y): some pixel there differs from the flat background.
bool pointerNear(const Frame& frame, int x, int y, YCbCr background) {
    for (int dy = 0; dy < 10; ++dy) {
        for (int dx = 0; dx < 10; ++dx) {
            if (std::abs(frame.at(x + dx, y + dy).y - background.y) > 8) {
                return true;
            }
        }
    }
    return false;
}

// Catches a pointer left out, drawn in the wrong place, or not followed when it moves over a
// screen that otherwise stands still.
TEST(VideoOnX, DisplayShowsThePointerAndFollowsIt) {
    XServer server(640, 480);
    XClient client(server);
    constexpr std::uint32_t colour = 0x208020;
    client.window(0, 0, 640, 480, colour);
    client.ask("pointer 100 100");
    // Half size, and repeats only every 10 s: a frame that shows the move is a new one.
    Stream stream(server, "display", displayOf(server), 320, 240, 30, 1);
    auto first = stream.next();
    ASSERT_TRUE(first);
    EXPECT_TRUE(pointerNear(*first, 50, 50, bt709(colour)));
    EXPECT_FALSE(pointerNear(*first, 250, 200, bt709(colour)));
    client.ask("pointer 500 400");
    bool followed = false;
    for (int i = 0; i < 10 && !followed; ++i) {
        auto frame = stream.next(3s);
        ASSERT_TRUE(frame);
        followed = pointerNear(*frame, 250, 200, bt709(colour)) &&
                   !pointerNear(*frame, 50, 50, bt709(colour));
    }
    EXPECT_TRUE(followed);
}

// Catches a pointer scaled up whole with a tiny window streamed large: the copy outgrew memory
// and the capture thread died with the C++ runtime's own words on standard error.
TEST(VideoOnX, TinyWindowStreamedLargeWithThePointerOnIt) {
    XServer server(640, 480);
    XClient client(server);
    auto window = client.window(100, 100, 2, 2, 0x2020c0);
    client.ask("pointer 101 101");
    Stream stream(server, "window", window, 4000, 4000, 30, 5);
    ASSERT_TRUE(stream.next(15s));
    stream.process->closeStdout();
    EXPECT_EQ(stream.process->wait(10s), 0);
    stream.process->drain();
    EXPECT_EQ(stream.process->err(), "ready\n");
}

bool nearColour(const YCbCr& got, const YCbCr& want, double tolerance = 3) {
    return std::abs(got.y - want.y) <= tolerance && std::abs(got.cb - want.cb) <= tolerance &&
           std::abs(got.cr - want.cr) <= tolerance;
}

struct Framed {
    const char* name;
    int width;
    int height;
};

void PrintTo(const Framed& f, std::ostream* os) {
    *os << f.name;
}

class ShadowMargin : public testing::TestWithParam<Framed> {};

// Catches the invisible margin of a client-decorated window (_GTK_FRAME_EXTENTS) streamed with
// it, in the plain read and in the server-scaled one: the frame, the inside's own size or half
// of it, must be the inside's colour to its edges, with the pointer where it is over the
// inside; after a resize, still nothing of the margin.
TEST_P(ShadowMargin, IsLeftOutOfTheStream) {
    const Framed& f = GetParam();
    XServer server(1280, 720);
    XClient client(server);
    constexpr std::uint32_t inside = 0x3080c0;
    // The inside is 280x180 at (160, 140) on screen; the margin is magenta.
    auto window = client.window(100, 100, 400, 300, inside, "frame=60,60,40,80 margin=ff00ff");
    client.ask("pointer 200 180");
    double scale = 280.0 / f.width;
    Stream stream(server, "window", window, f.width, f.height, 30, 10);
    auto frame = stream.next();
    ASSERT_TRUE(frame);
    for (int x = 0; x < f.width; ++x) {
        for (int y : {0, f.height - 1}) {
            ASSERT_TRUE(nearColour(frame->at(x, y), bt709(inside))) << x << "," << y;
        }
    }
    for (int y = 0; y < f.height; ++y) {
        for (int x : {0, f.width - 1}) {
            ASSERT_TRUE(nearColour(frame->at(x, y), bt709(inside))) << x << "," << y;
        }
    }
    int pointerX = static_cast<int>(40 / scale);
    int pointerY = static_cast<int>(40 / scale);
    EXPECT_TRUE(pointerNear(*frame, pointerX - 2, pointerY - 2, bt709(inside)));
    // Where it would be drawn if placed by the X window's corner.
    EXPECT_FALSE(pointerNear(*frame, static_cast<int>(100 / scale) + 3,
                             static_cast<int>(80 / scale) + 3, bt709(inside)));

    // 380x180 inside now: bars above and below, and still no margin.
    client.ask("pointer 1270 710");
    client.ask("resize " + std::to_string(window) + " 500 300");
    bool resized = false;
    for (int i = 0; i < 60 && !resized; ++i) {
        frame = stream.next();
        ASSERT_TRUE(frame);
        resized = nearColour(frame->at(f.width / 2, 1), black) &&
                  nearColour(frame->at(f.width / 2, f.height / 2), bt709(inside));
    }
    ASSERT_TRUE(resized) << "the stream never showed the resized window";
    frame = stream.next();
    ASSERT_TRUE(frame);
    for (int y = 0; y < f.height; y += 3) {
        for (int x = 0; x < f.width; x += 3) {
            YCbCr got = frame->at(x, y);
            ASSERT_TRUE(nearColour(got, bt709(inside)) || nearColour(got, black))
                << x << "," << y << " is " << got.y << " " << got.cb << " " << got.cr;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Video, ShadowMargin,
                         testing::Values(Framed{"InsideSize", 280, 180},
                                         Framed{"HalfSize", 140, 90}),
                         [](const auto& info) { return std::string(info.param.name); });

// Catches a translucent window streamed with its alpha taken for colour: what is clear must
// come out black (the picture over black), what is opaque its own colour.
TEST(VideoOnX, TranslucentWindowIsStreamedOverBlack) {
    XServer server(640, 480);
    XClient client(server);
    constexpr std::uint32_t colour = 0x30c080;
    auto window = client.window(0, 0, 200, 100, colour, "depth=32 halves=1");
    client.ask("pointer 639 479");
    for (int width : {200, 100}) {
        Stream stream(server, "window", window, width, width / 2, 30, 10);
        auto frame = stream.next();
        ASSERT_TRUE(frame);
        expectColour(*frame, width / 4, width / 4, black, "clear half");
        expectColour(*frame, 3 * width / 4, width / 4, bt709(colour), "opaque half");
    }
}

class Animated : public testing::TestWithParam<std::string> {};

// Catches changes that never reach the stream (no damage seen on a display or a window): an
// animated window must give a run of different frames, not only repeats of the first.
TEST_P(Animated, ContentChangesStreamNewFrames) {
    XServer server(640, 480);
    XClient client(server);
    auto window = client.window(0, 0, 640, 480, 0xff0000);
    client.ask("pointer 639 479");
    client.ask("animate " + std::to_string(window) + " 60");
    std::uint32_t id = GetParam() == "display" ? displayOf(server) : window;
    Stream stream(server, GetParam(), id, 64, 48, 30, 1);
    std::vector<double> centres;
    auto until = std::chrono::steady_clock::now() + 1500ms;
    while (std::chrono::steady_clock::now() < until) {
        auto frame = stream.next();
        ASSERT_TRUE(frame);
        centres.push_back(frame->at(32, 24).y);
    }
    int changes = 0;
    for (std::size_t i = 1; i < centres.size(); ++i) {
        changes += centres[i] != centres[i - 1];
    }
    // A colour every 60 ms for 1.5 s is about 25 changes; the margin is for slow machines.
    EXPECT_GE(changes, 5);
}

INSTANTIATE_TEST_SUITE_P(Video, Animated, testing::Values("display", "window"));

// Where two frames differ: the bounding box of the luma pixels and chroma blocks (as pixels)
// that changed, or none.
struct Box {
    int left = 1 << 30;
    int top = 1 << 30;
    int right = -1;
    int bottom = -1;
    bool empty() const { return right < 0; }
    void add(int x, int y) {
        left = std::min(left, x);
        top = std::min(top, y);
        right = std::max(right, x);
        bottom = std::max(bottom, y);
    }
};

Box difference(const Frame& a, const Frame& b) {
    Box box;
    const int w = a.width;
    for (std::size_t i = 0; i < a.bytes.size(); ++i) {
        if (a.bytes[i] == b.bytes[i]) {
            continue;
        }
        int at = static_cast<int>(i);
        if (at < w * a.height) {
            box.add(at % w, at / w);
        } else {
            at -= w * a.height;
            box.add(at % w / 2 * 2, at / w * 2);
        }
    }
    return box;
}

// The next frame that differs from `last`, within a few seconds.
std::optional<Frame> nextChanged(Stream& stream, const Frame& last) {
    for (int i = 0; i < 90; ++i) {
        auto frame = stream.next(3s);
        if (!frame || frame->bytes != last.bytes) {
            return frame;
        }
    }
    return std::nullopt;
}

// Catches partial updates that spoil the picture: a small change in one corner, then a pointer
// move, must change only that corner and the pointer's old and new places, byte for byte, and
// the result, after a flood of small drawings besides, must equal what a fresh stream makes of
// the same screen in one whole read.
TEST(VideoOnX, SmallChangesUpdateOnlyTheirPlaceAndStayWholePictures) {
    XServer server(640, 480);
    XClient client(server);
    auto background = client.window(0, 0, 640, 480, 0x336699, "pattern=1");
    auto corner = client.window(600, 440, 40, 40, 0xff0000);
    client.ask("pointer 100 100");
    auto id = displayOf(server);
    Stream stream(server, "display", id, 320, 240, 30, 1);
    auto before = stream.next();
    ASSERT_TRUE(before);
    // Whatever was still settling (the pattern painted after an Expose) has been read.
    std::this_thread::sleep_for(500ms);
    for (int i = 0; i < 60; ++i) {
        auto frame = stream.next(i == 0 ? 1s : 200ms);
        if (!frame) {
            break;
        }
        before = frame;
    }
    client.ask("color " + std::to_string(corner) + " 00ff00");
    auto after = nextChanged(stream, *before);
    ASSERT_TRUE(after);
    expectColour(*after, 310, 230, bt709(0x00ff00), "the changed corner");
    Box changed = difference(*before, *after);
    // The corner is (300, 220) on; the filter reaches a pixel or two further.
    EXPECT_GE(changed.left, 296);
    EXPECT_GE(changed.top, 216);

    client.ask("pointer 500 400");
    auto moved = nextChanged(stream, *after);
    ASSERT_TRUE(moved);
    Box first = difference(*after, *moved);
    // Only around the old place (50, 50) and the new (250, 200): never the bottom-left or
    // top-right quarter, which neither touches.
    bool outside = false;
    for (std::size_t i = 0; i < static_cast<std::size_t>(320 * 240); ++i) {
        int x = static_cast<int>(i % 320);
        int y = static_cast<int>(i / 320);
        bool nearOld = x >= 44 && x < 80 && y >= 44 && y < 80;
        bool nearNew = x >= 244 && x < 280 && y >= 194 && y < 230;
        outside |= after->bytes[i] != moved->bytes[i] && !nearOld && !nearNew;
    }
    EXPECT_FALSE(first.empty());
    EXPECT_FALSE(outside);

    // As many small drawings as are kept one by one between two reads, then one far off.
    client.ask("dots " + std::to_string(background) + " 64 ffff00");
    // Let the stream settle, then compare with a whole read of the same screen.
    std::this_thread::sleep_for(300ms);
    for (int i = 0; i < 60; ++i) {
        auto frame = stream.next(200ms);
        if (!frame) {
            break;
        }
        moved = frame;
    }
    Stream fresh(server, "display", id, 320, 240, 30, 1);
    auto whole = fresh.next();
    ASSERT_TRUE(whole);
    EXPECT_TRUE(difference(*moved, *whole).empty());
}

// Catches a still screen that goes silent, or repeats far off the asked rate.
TEST(VideoOnX, StillWindowIsRepeatedAboutIdleTimesASecond) {
    XServer server(640, 480);
    XClient client(server);
    auto window = client.window(0, 0, 200, 150, 0x0000ff);
    Stream stream(server, "window", window, 64, 48, 30, 4);
    ASSERT_TRUE(stream.next());
    auto start = std::chrono::steady_clock::now();
    int repeats = 0;
    while (std::chrono::steady_clock::now() - start < 2s) {
        if (!stream.next(3s)) {
            break;
        }
        ++repeats;
    }
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(repeats, static_cast<int>(seconds * 4 / 2));
    EXPECT_LE(repeats, static_cast<int>(seconds * 4 + 3));
}

// Catches a stream that outlives its window, or ends it with the wrong line or status.
TEST(VideoOnX, ClosingTheWindowEndsWithClosedAndStatusThree) {
    XServer server(640, 480);
    XClient client(server);
    auto window = client.window(0, 0, 200, 150, 0xffff00);
    ProcessOptions options = server.env();
    Process process({LUMATAP_BIN, "video", "window", std::to_string(window), "64", "48", "30", "2"},
                    options);
    ASSERT_TRUE(process.waitForErr("ready\n", 5s));
    client.ask("destroy " + std::to_string(window));
    EXPECT_EQ(process.wait(5s), 3);
    process.drain();
    EXPECT_EQ(process.err(), "ready\nclosed: the window was closed\n");
    EXPECT_EQ(process.out().size() % (64 * 48 * 3 / 2), 0u);
}

// Catches a reader's departure treated as a failure, or the process killed by SIGPIPE.
TEST(VideoOnX, ClosingTheReaderEndsWithStatusZero) {
    XServer server(640, 480);
    XClient client(server);
    auto window = client.window(0, 0, 200, 150, 0xff00ff);
    Stream stream(server, "window", window, 320, 240, 30, 5);
    ASSERT_TRUE(stream.next());
    stream.process->closeStdout();
    EXPECT_EQ(stream.process->wait(5s), 0);
    EXPECT_TRUE(stream.process->exitedNormally());
    stream.process->drain();
    EXPECT_EQ(stream.process->err(), "ready\n");
}

// Catches a stream that lives on after the host has gone: the parent is a shell that the test
// kills; the test adopts the orphan to learn how it ended.
TEST(VideoOnX, KillingTheParentEndsWithStatusZeroWithinAboutASecond) {
    XServer server(640, 480);
    XClient client(server);
    auto window = client.window(0, 0, 200, 150, 0x00ffff);
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    Process shell({"/bin/sh", "-c",
                   "\"$0\" video window \"$1\" 64 48 30 1 >/dev/null 2>&1 & echo $!; wait",
                   LUMATAP_BIN, std::to_string(window)},
                  server.env());
    pid_t stream = 0;
    auto until = std::chrono::steady_clock::now() + 5s;
    while (stream == 0 && std::chrono::steady_clock::now() < until) {
        std::string out = shell.out();
        if (out.find('\n') != std::string::npos) {
            stream = static_cast<pid_t>(std::stol(out));
        }
        std::this_thread::sleep_for(10ms);
    }
    ASSERT_GT(stream, 0);
    std::this_thread::sleep_for(500ms); // well into streaming
    shell.kill(SIGKILL);
    shell.wait(5s);
    auto killed = std::chrono::steady_clock::now();
    int status = 0;
    pid_t done = 0;
    while (done == 0 && std::chrono::steady_clock::now() - killed < 5s) {
        done = waitpid(stream, &status, WNOHANG);
        std::this_thread::sleep_for(10ms);
    }
    if (done == 0) {
        ::kill(stream, SIGKILL);
        waitpid(stream, &status, 0);
        FAIL() << "the stream outlived its parent";
    }
    EXPECT_LT(std::chrono::steady_clock::now() - killed, 2500ms);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

} // namespace
} // namespace lumatap::test
