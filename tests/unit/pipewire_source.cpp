// The PipeWire frame source against a private PipeWire and a producer that sends as a
// desktop's shared-memory screencast does.
#include "capture/media/compose.h"
#include "capture/media/one_frame.h"
#include "capture/pipewire/source.h"
#include "tests/support/process.h"
#include "tests/support/pulse_server.h"

#include <array>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <gtest/gtest.h>

namespace lumatap {
namespace {

using media::Area;
using media::Changes;

// Generous, only so that a fault ends the test instead of hanging it.
constexpr auto patience = std::chrono::seconds(20);

class PipeWireSource : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        server = new test::PipeWireServer();
        // This process reads from the private daemon, as lumatap would in its session.
        for (const auto& [name, value] : server->env().env) {
            setenv(name.c_str(), value.c_str(), 1);
        }
        unsetenv("PIPEWIRE_REMOTE");
    }
    static void TearDownTestSuite() {
        delete server;
        server = nullptr;
    }

    void start(int width, int height, pipewire::SourceOptions options = {},
               std::vector<std::string> colour = {}) {
        test::ProcessOptions o;
        o.pipeStdin = true;
        o.captureStdout = false;
        std::vector<std::string> argv{PWVIDEO_BIN, std::to_string(width), std::to_string(height)};
        argv.insert(argv.end(), colour.begin(), colour.end());
        producer = std::make_unique<test::Process>(argv, o);
        auto line = expectLine("node ");
        options.node = static_cast<std::uint32_t>(std::stoul(line.substr(5)));
        source = pipewire::makeSource(std::move(options));
    }

    bool prepare(std::size_t& width, std::size_t& height, ErrorPtr& error, int fps = 60) {
        StreamConfiguration c;
        c.minimumFrameInterval = MediaTime{1, fps};
        return source->prepare(c, width, height, error);
    }

    // The producer's next line that starts with `prefix`.
    std::string expectLine(const std::string& prefix) {
        auto deadline = std::chrono::steady_clock::now() + patience;
        while (std::chrono::steady_clock::now() < deadline) {
            auto line = producer->readLine(std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now()));
            if (!line) {
                break;
            }
            if (line->rfind(prefix, 0) == 0) {
                return *line;
            }
        }
        ADD_FAILURE() << "the producer never said " << prefix << ": " << producer->err();
        return prefix + "0";
    }

    Changes next() {
        Changes changes;
        EXPECT_TRUE(source->wait(std::chrono::steady_clock::now() + patience));
        ErrorPtr error;
        EXPECT_TRUE(source->report(changes, error)) << (error ? error->description : "");
        return changes;
    }

    // Sends a command, then takes the source's reports until `done` holds for them all
    // together. Buffers come in order: once the last command's shows, none is left of those
    // before it.
    // With `again`, the command is sent again each time a quarter second passes without news.
    Changes send(const std::string& command, const std::function<bool(const Changes&)>& done,
                 bool again = false) {
        producer->writeStdin(command + "\n");
        Changes all;
        auto deadline = std::chrono::steady_clock::now() + patience;
        while (std::chrono::steady_clock::now() < deadline) {
            if (again &&
                !source->wait(std::chrono::steady_clock::now() + std::chrono::milliseconds(250))) {
                producer->writeStdin(command + "\n");
                continue;
            }
            Changes c = next();
            all.whole = all.whole || c.whole;
            all.width = c.width;
            all.height = c.height;
            all.damage.insert(all.damage.end(), c.damage.begin(), c.damage.end());
            all.pointer = c.pointer;
            all.pointerChanged = all.pointerChanged || c.pointerChanged;
            if (done(all)) {
                return all;
            }
        }
        ADD_FAILURE() << "the source never showed " << command;
        return all;
    }

    // Sends a command until the pixel at (x, y) is `bgr`.
    Changes paint(const std::string& command, std::size_t x, std::size_t y, std::array<int, 3> bgr,
                  bool again = false) {
        return send(
            command,
            [&](const Changes& c) {
                ErrorPtr error;
                if (x >= c.width || y >= c.height) {
                    return false;
                }
                auto view = source->read({x, y, 1, 1}, error);
                return view && at(*view, 0, 0) == bgr;
            },
            again);
    }

    // The pixel at (x, y) of a view, as B G R.
    static std::array<int, 3> at(const media::BgraView& v, std::size_t x, std::size_t y) {
        const std::uint8_t* p = v.data + y * v.bytesPerRow + x * 4;
        return {p[0], p[1], p[2]};
    }

    std::optional<media::BgraView> read(const Area& area) {
        ErrorPtr error;
        auto view = source->read(area, error);
        EXPECT_TRUE(view) << (error ? error->description : "unreadable");
        return view;
    }

    static test::PipeWireServer* server;
    std::unique_ptr<test::Process> producer;
    std::unique_ptr<media::FrameSource> source;
};

test::PipeWireServer* PipeWireSource::server = nullptr;

// Catches: a first picture not read whole or not exactly, a small change that costs a whole
// conversion (damage not reported alone), more frames asked for than the writer can take
// (a third over the rate, as it takes a frame from 0.75 of an interval on).
TEST_F(PipeWireSource, ReadsTheFirstPictureWholeThenOnlyWhatChanged) {
    start(320, 240);
    std::size_t width = 0, height = 0;
    ErrorPtr error;
    ASSERT_TRUE(prepare(width, height, error, 30)) << error->description;
    EXPECT_EQ(width, 320u);
    EXPECT_EQ(height, 240u);
    EXPECT_EQ(expectLine("format"), "format 320 240 40");

    Changes first = paint("fill 10 20 30", 319, 239, {10, 20, 30});
    EXPECT_TRUE(first.whole);
    EXPECT_EQ(first.width, 320u);
    EXPECT_EQ(first.height, 240u);
    auto all = read({0, 0, 320, 240});
    ASSERT_TRUE(all);
    for (std::size_t y = 0; y < 240; y += 7) {
        for (std::size_t x = 0; x < 320; x += 7) {
            ASSERT_EQ(at(*all, x, y), (std::array<int, 3>{10, 20, 30})) << x << "," << y;
        }
    }

    Changes small = paint("rect 5 6 7 8 200 100 50", 11, 13, {200, 100, 50});
    EXPECT_FALSE(small.whole);
    ASSERT_EQ(small.damage.size(), 1u);
    EXPECT_EQ(small.damage[0], (Area{5, 6, 7, 8}));
    auto area = read({5, 6, 7, 8});
    ASSERT_TRUE(area);
    EXPECT_EQ(at(*area, 0, 0), (std::array<int, 3>{200, 100, 50}));
    auto around = read({4, 5, 1, 1});
    ASSERT_TRUE(around);
    EXPECT_EQ(at(*around, 0, 0), (std::array<int, 3>{10, 20, 30}));
}

// Catches: a window's stream read at the monitor's size (crop ignored), damage not moved into
// the crop, a new size not negotiated or not reported whole.
TEST_F(PipeWireSource, FollowsTheCropAndANewSize) {
    start(320, 240);
    std::size_t width = 0, height = 0;
    ErrorPtr error;
    ASSERT_TRUE(prepare(width, height, error)) << error->description;
    expectLine("format");
    paint("fill 1 2 3", 0, 0, {1, 2, 3});

    producer->writeStdin("crop 10 20 100 50\n");
    Changes cropped = paint("rect 10 20 1 1 90 91 92", 0, 0, {90, 91, 92});
    EXPECT_TRUE(cropped.whole);
    EXPECT_EQ(cropped.width, 100u);
    EXPECT_EQ(cropped.height, 50u);
    auto corner = read({0, 0, 2, 1});
    ASSERT_TRUE(corner);
    EXPECT_EQ(at(*corner, 1, 0), (std::array<int, 3>{1, 2, 3}));
    Changes inside = paint("rect 15 22 4 4 5 5 5", 5, 2, {5, 5, 5});
    EXPECT_FALSE(inside.whole);
    ASSERT_EQ(inside.damage.size(), 1u);
    EXPECT_EQ(inside.damage[0], (Area{5, 2, 4, 4}));

    producer->writeStdin("crop 0 0 0 0\nsize 400 300\n");
    EXPECT_EQ(expectLine("format"), "format 400 300 60");
    // The producer's first buffer of the new size may go out before the reader has its new
    // buffers, and then never arrives; a desktop paints again, this producer only when told.
    Changes bigger = paint("fill 7 8 9", 399, 299, {7, 8, 9}, true);
    EXPECT_TRUE(bigger.whole);
    EXPECT_EQ(bigger.width, 400u);
    EXPECT_EQ(bigger.height, 300u);
}

// Catches: a pointer that does not follow the cursor metadata (position less hotspot, image
// in premultiplied ARGB), a moving cursor mistaken for a new picture, and the pointer drawn
// on the producer's memory, where it would stay behind once the cursor moves on.
TEST_F(PipeWireSource, TakesThePointerFromTheCursorMetadata) {
    start(320, 240);
    std::size_t width = 0, height = 0;
    ErrorPtr error;
    ASSERT_TRUE(prepare(width, height, error)) << error->description;
    paint("fill 40 40 40", 0, 0, {40, 40, 40});

    Changes moved = send("cursor 50 60", [](const Changes& c) { return c.pointer.has_value(); });
    EXPECT_FALSE(moved.whole);
    EXPECT_TRUE(moved.damage.empty());
    ASSERT_TRUE(moved.pointer);
    EXPECT_TRUE(moved.pointerChanged);
    EXPECT_EQ(moved.pointer->left, 48);
    EXPECT_EQ(moved.pointer->top, 58);
    ASSERT_EQ(moved.pointer->width, 16u);
    ASSERT_EQ(moved.pointer->height, 16u);
    EXPECT_EQ(moved.pointer->argb[0], 0xffff0000u);
    EXPECT_EQ(moved.pointer->argb[15], 0u);

    auto under = read({40, 50, 40, 40});
    ASSERT_TRUE(under);
    // What the stream does to the view: draws the pointer on it.
    media::drawPointer(const_cast<std::uint8_t*>(under->data), 40, 40, under->bytesPerRow,
                       moved.pointer->argb, 16, 16, moved.pointer->left - 40,
                       moved.pointer->top - 50);
    EXPECT_EQ(at(*under, 10, 10), (std::array<int, 3>{0, 0, 255}));
    auto again = read({40, 50, 40, 40});
    ASSERT_TRUE(again);
    EXPECT_EQ(at(*again, 10, 10), (std::array<int, 3>{40, 40, 40}));

    Changes still =
        send("cursor 100 100", [](const Changes& c) { return c.pointer && c.pointer->left == 98; });
    EXPECT_FALSE(still.pointerChanged);
    send("nocursor", [](const Changes& c) { return !c.pointer; });
}

// Catches: a still that never comes from a screen standing still, or is not all of it.
TEST_F(PipeWireSource, TakesOneStillFrame) {
    pipewire::SourceOptions options;
    options.pointer = pipewire::PointerMode::hidden;
    start(200, 100, options, {"3", "4", "5"});
    ErrorPtr error;
    auto still = media::takeOneFrame(*source, StreamConfiguration{},
                                     std::chrono::steady_clock::now() + patience, error);
    ASSERT_TRUE(still) << (error ? error->description : "no picture");
    EXPECT_EQ(still->width, 200u);
    EXPECT_EQ(still->height, 100u);
    EXPECT_EQ(at(*still, 0, 0), (std::array<int, 3>{3, 4, 5}));
    EXPECT_EQ(at(*still, 199, 99), (std::array<int, 3>{3, 4, 5}));
}

// Catches: a producer that went away leaving the stream waiting for ever, or ending it with
// something else than what the backend names the ending; and a source that hangs or leaks
// buffers when let go while the producer sends.
TEST_F(PipeWireSource, EndsWithTheEndingsErrorWhenTheProducerGoes) {
    pipewire::SourceOptions options;
    options.ending = [] { return makeError("test", 7, "the window was closed"); };
    start(64, 48, options);
    std::size_t width = 0, height = 0;
    ErrorPtr error;
    ASSERT_TRUE(prepare(width, height, error)) << error->description;
    next();
    producer->writeStdin("quit\n");
    ASSERT_TRUE(source->wait(std::chrono::steady_clock::now() + patience));
    Changes changes;
    EXPECT_FALSE(source->report(changes, error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->description, "the window was closed");
    EXPECT_FALSE(source->read({0, 0, 1, 1}, error));

    start(64, 48);
    ASSERT_TRUE(prepare(width, height, error)) << error->description;
    paint("fill 1 1 1", 0, 0, {1, 1, 1});
    for (int i = 0; i < 20; ++i) {
        producer->writeStdin("rect 0 0 8 8 " + std::to_string(i) + " 0 0\n");
    }
    source.reset();
    // The producer goes on without the source, which took no buffer along.
    producer->writeStdin("fill 2 2 2\n");
    expectLine("sent");
    EXPECT_TRUE(producer->running());
}

} // namespace
} // namespace lumatap
