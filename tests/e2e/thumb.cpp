// `thumb` against a real X server: the PNG must have the fitted size and show the test
// windows' colours where they are; a window must come out as its own content, whatever covers
// it and without the manager's decorations; missing targets and a reader that leaves early
// must end the way the host expects.
#include "tests/support/png.h"
#include "tests/support/xserver.h"

#include <csignal>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <png.h>
#include <stdexcept>
#include <thread>
#include <xcb/xcb.h>

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

// A PNG decoded with its alpha: straight RGBA, 4 bytes a pixel; the colour type is kept to
// tell RGBA files from RGB ones.
struct Rgba {
    std::size_t width = 0;
    std::size_t height = 0;
    int colourType = -1;
    std::vector<std::uint8_t> pixels;

    const std::uint8_t* at(std::size_t x, std::size_t y) const {
        return &pixels[(y * width + x) * 4];
    }
    std::uint32_t rgb(std::size_t x, std::size_t y) const {
        const std::uint8_t* p = at(x, y);
        return (std::uint32_t{p[0]} << 16) | (std::uint32_t{p[1]} << 8) | p[2];
    }
};

std::optional<Rgba> decodeRGBA(const std::string& file) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    if (file.size() < 26 || !png_image_begin_read_from_memory(&image, file.data(), file.size())) {
        return std::nullopt;
    }
    image.format = PNG_FORMAT_RGBA;
    Rgba decoded;
    decoded.width = image.width;
    decoded.height = image.height;
    decoded.colourType = static_cast<std::uint8_t>(file[25]);
    decoded.pixels.resize(PNG_IMAGE_SIZE(image));
    if (!png_image_finish_read(&image, nullptr, decoded.pixels.data(), 0, nullptr)) {
        png_image_free(&image);
        return std::nullopt;
    }
    return decoded;
}

constexpr int rgbType = 2;
constexpr int rgbaType = 6;

class ShadowMargin : public testing::TestWithParam<std::string> {};

// Catches the invisible margin of a client-decorated window (_GTK_FRAME_EXTENTS) getting into
// its thumbnail: every pixel, the edges included, must be the inside's colour. The margin is
// magenta on an ordinary window and transparent on a depth-32 one.
TEST_P(ShadowMargin, IsLeftOutOfTheThumbnail) {
    XServer server(1280, 720);
    XClient client(server);
    constexpr std::uint32_t inside = 0x3080c0;
    auto window =
        client.window(100, 100, 340, 240, inside, "frame=20,20,10,30 " + GetParam() + " title=F");
    waitUntilListed(server, window);
    for (int box : {2000, 150}) {
        SCOPED_TRACE(box);
        auto t = thumb(server, "window", window, box, box);
        ASSERT_EQ(t.result.status, 0) << t.result.err;
        auto png = decodeRGBA(t.result.out);
        ASSERT_TRUE(png);
        // Nothing of the window is transparent once the margin is off.
        EXPECT_EQ(png->colourType, rgbType);
        for (std::size_t y = 0; y < png->height; ++y) {
            for (std::size_t x = 0; x < png->width; ++x) {
                bool edge = x == 0 || y == 0 || x + 1 == png->width || y + 1 == png->height;
                if (edge || (x % 9 == 0 && y % 9 == 0)) {
                    ASSERT_TRUE(near(png->rgb(x, y), inside))
                        << x << "," << y << " is " << std::hex << png->rgb(x, y);
                }
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(ThumbOnX, ShadowMargin, testing::Values("margin=ff00ff", "depth=32"),
                         [](const auto& info) {
                             return std::string(info.param == "depth=32" ? "Transparent"
                                                                         : "Painted");
                         });

// Catches a translucent window flattened onto black or given a made-up alpha, alpha averaged
// wrongly when scaled (a dark seam, or colour smeared into the clear half), and alpha written
// for an opaque window.
TEST(ThumbOnX, TranslucentWindowKeepsItsAlpha) {
    XServer server(800, 600);
    XClient client(server);
    auto glass = client.window(10, 10, 240, 160, green, "depth=32 halves=1 title=Glass");
    auto solid = client.window(300, 10, 240, 160, green, "title=Solid");
    waitUntilListed(server, glass);
    waitUntilListed(server, solid);

    struct Size {
        std::size_t width, height;
    };
    for (Size size : {Size{240, 160}, Size{60, 40}, Size{33, 22}}) {
        SCOPED_TRACE(std::to_string(size.width));
        auto t = thumb(server, "window", glass, static_cast<int>(size.width),
                       static_cast<int>(size.height));
        ASSERT_EQ(t.result.status, 0) << t.result.err;
        auto png = decodeRGBA(t.result.out);
        ASSERT_TRUE(png);
        ASSERT_EQ(png->width, size.width);
        EXPECT_EQ(png->colourType, rgbaType);
        for (std::size_t y = 0; y < png->height; ++y) {
            for (std::size_t x = 0; x < png->width; ++x) {
                const std::uint8_t* p = png->at(x, y);
                // Columns that straddle the middle are partly clear, but whatever shows of
                // them is the window's colour at full strength.
                if (p[3] != 0) {
                    ASSERT_TRUE(near(png->rgb(x, y), green, 3))
                        << x << "," << y << " is " << std::hex << png->rgb(x, y);
                }
                if (2 * x + 2 < png->width) {
                    ASSERT_EQ(p[3], 0) << x << "," << y;
                } else if (2 * x > png->width) {
                    ASSERT_EQ(p[3], 255) << x << "," << y;
                }
            }
        }
    }

    auto t = thumb(server, "window", solid, 100, 100);
    ASSERT_EQ(t.result.status, 0) << t.result.err;
    auto png = decodeRGBA(t.result.out);
    ASSERT_TRUE(png);
    EXPECT_EQ(png->colourType, rgbType);
}

// A compositing desktop of xfwm4 on its own private session bus, which GTK then draws client-
// side decorations with shadows for.
class CompositingDesktop {
  public:
    explicit CompositingDesktop(const XServer& server) {
        ProcessOptions bus;
        bus.unset = {"DBUS_SESSION_BUS_ADDRESS"};
        bus_ =
            std::make_unique<Process>(std::vector<std::string>{"/usr/bin/dbus-daemon", "--session",
                                                               "--nofork", "--print-address=1"},
                                      bus);
        for (int wait = 0; wait < 500 && address_.empty(); ++wait) {
            std::string out = bus_->out();
            if (auto nl = out.find('\n'); nl != std::string::npos) {
                address_ = out.substr(0, nl);
            } else {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
        }
        if (address_.empty()) {
            throw std::runtime_error("dbus-daemon gave no address: " + bus_->err());
        }
        manager_ = std::make_unique<Process>(
            std::vector<std::string>{"/usr/bin/xfwm4", "--compositor=on", "--replace"},
            env(server));
        for (int wait = 0; wait < 500; ++wait) {
            // The compositor is on once it owns the compositing manager selection.
            auto result = run({"/usr/bin/xprop", "-root", "_NET_SUPPORTING_WM_CHECK"}, env(server));
            if (result.out.find("window id") != std::string::npos && compositing(server)) {
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        throw std::runtime_error("xfwm4 did not start compositing: " + manager_->err());
    }

    ~CompositingDesktop() {
        for (auto* process : {&manager_, &bus_}) {
            if (*process) {
                (*process)->kill(SIGTERM);
                (*process)->wait(std::chrono::seconds(5));
            }
        }
    }

    ProcessOptions env(const XServer& server) const {
        ProcessOptions options = server.env();
        options.env["DBUS_SESSION_BUS_ADDRESS"] = address_;
        options.env["NO_AT_BRIDGE"] = "1";
        options.env["GTK_THEME"] = "Adwaita";
        return options;
    }

  private:
    static bool compositing(const XServer& server) {
        xcb_connection_t* c = xcb_connect(server.display().c_str(), nullptr);
        bool owned = false;
        if (!xcb_connection_has_error(c)) {
            const char name[] = "_NET_WM_CM_S0";
            auto* atom =
                xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, sizeof name - 1, name), nullptr);
            if (atom) {
                auto* owner = xcb_get_selection_owner_reply(
                    c, xcb_get_selection_owner(c, atom->atom), nullptr);
                owned = owner && owner->owner != XCB_NONE;
                free(owner);
            }
            free(atom);
        }
        xcb_disconnect(c);
        return owned;
    }

    std::unique_ptr<Process> bus_;
    std::string address_;
    std::unique_ptr<Process> manager_;
};

// Catches a real GTK 3 window on a compositing desktop captured with its shadow margin: the
// margin came out as a black frame around the window. The middle of each edge is the
// window's own title bar or content, opaque and not black.
TEST(ThumbOnX, GtkWindowOnACompositingDesktopHasNoBlackFrame) {
    XServer server(1280, 720);
    CompositingDesktop desktop(server);
    Process demo({"/usr/bin/gtk3-demo"}, desktop.env(server));
    // A second window makes xfwm4 publish its stacking list, as it is on any real desktop.
    XClient client(server);
    client.window(900, 500, 200, 150, blue, "title=Other");

    std::uint32_t id = 0;
    std::string last;
    for (int attempt = 0; attempt < 500 && !id; ++attempt) {
        auto result = run({LUMATAP_BIN, "list"}, server.env());
        last = result.out + result.err;
        auto doc = nlohmann::json::parse(result.out);
        for (const auto& window : doc["windows"]) {
            if (window["app"] == "Gtk3-demo") {
                id = window["id"].get<std::uint32_t>();
            }
        }
        if (!id) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    ASSERT_NE(id, 0u) << "gtk3-demo never listed: " << last << demo.err();
    // Without the margin property this test would prove nothing.
    std::string extents;
    for (int attempt = 0; attempt < 200; ++attempt) {
        extents =
            run({"/usr/bin/xprop", "-id", std::to_string(id), "_GTK_FRAME_EXTENTS"}, server.env())
                .out;
        if (extents.find("CARDINAL") != std::string::npos) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_NE(extents.find("CARDINAL"), std::string::npos) << extents;
    // A window that has not drawn itself yet is clear all over, so this looks a few times;
    // a black frame around the window would be there every time.
    struct Spot {
        std::size_t x, y;
        const char* edge;
    };
    std::string wrong = "no thumbnail";
    for (int attempt = 0; attempt < 50 && !wrong.empty(); ++attempt) {
        auto t = thumb(server, "window", id, 4000, 4000);
        ASSERT_EQ(t.result.status, 0) << t.result.err;
        auto png = decodeRGBA(t.result.out);
        ASSERT_TRUE(png);
        std::size_t w = png->width;
        std::size_t h = png->height;
        wrong.clear();
        for (Spot s : {Spot{w / 2, 0, "top"}, Spot{w / 2, h - 1, "bottom"}, Spot{0, h / 2, "left"},
                       Spot{w - 1, h / 2, "right"}}) {
            if (png->at(s.x, s.y)[3] != 255 || near(png->rgb(s.x, s.y), 0, 24)) {
                char colour[16];
                std::snprintf(colour, sizeof colour, "%08x",
                              png->rgb(s.x, s.y) << 8 | png->at(s.x, s.y)[3]);
                wrong += std::string(s.edge) + " edge is " + colour + "; ";
            }
        }
        if (!wrong.empty()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
    EXPECT_EQ(wrong, "");
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
