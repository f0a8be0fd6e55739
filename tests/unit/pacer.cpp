// The video command over the simulated platform: frames taken in, paced, repeated and written
// whole, and every way the stream ends. Timings are generous; only order and counts are checked.
#include "capture/sim/sim.h"
#include "channels/exit.h"
#include "channels/messages.h"
#include "lumatap/command_line.h"
#include "tests/support/child.h"
#include "video/video.h"

#include <atomic>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <set>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>

namespace lumatap {
namespace {

using namespace std::chrono_literals;
using test::ChildResult;
using test::runInChild;

constexpr std::int64_t W = 16;
constexpr std::int64_t H = 8;
constexpr std::size_t N = W * H * 3 / 2;
constexpr DisplayID displayID = 1;
constexpr WindowID windowID = 7;

sim::World world() {
    sim::World w;
    auto content = std::make_shared<ShareableContent>();
    content->displays.push_back(std::make_shared<const Display>(Display{displayID}));
    auto window = std::make_shared<Window>();
    window->windowID = windowID;
    window->frame = {10, 10, 320, 200};
    window->isOnScreen = true;
    content->windows.push_back(window);
    w.content = content;
    w.displays = {{displayID, platform::DisplayMode{1920, 1080}, {0, 0, 1920, 1080}}};
    w.mainDisplay = displayID;
    w.existingWindows = {windowID};
    return w;
}

// The stream once `video` has registered its output and started it.
std::shared_ptr<sim::SimStream> startedStream() {
    for (;;) {
        auto stream = sim::lastStream();
        if (stream && stream->started() && !stream->outputs().empty()) {
            return stream;
        }
        std::this_thread::sleep_for(1ms);
    }
}

void deliver(sim::SimStream& stream, std::uint8_t value) {
    stream.deliver(OutputType::screen,
                   sim::screenSample(sim::nv12Picture(W, H, value), FrameStatus::complete));
}

void closeWindow() {
    sim::update([](sim::World& w) { w.existingWindows.clear(); });
}

using Script = std::function<void(sim::SimStream&)>;

// Runs the whole command line in a child, with `script` playing the platform's side.
ChildResult runVideo(std::vector<std::string> words, const Script& script,
                     sim::World setup = world(), std::chrono::milliseconds timeout = 10s) {
    return runInChild(
        [&] {
            sim::setWorld(setup);
            if (script) {
                std::thread([script] { script(*startedStream()); }).detach();
            }
            words.insert(words.begin(), {"lumatap", "video"});
            setArgs(words);
            dispatch();
        },
        timeout);
}

ChildResult runVideo(const std::string& kind, std::uint32_t id, std::int64_t fps, std::int64_t idle,
                     const Script& script) {
    return runVideo({kind, std::to_string(id), std::to_string(W), std::to_string(H),
                     std::to_string(fps), std::to_string(idle)},
                    script);
}

// The luma value of each frame written, after checking that every frame is whole and flat.
std::vector<int> frames(const std::string& out) {
    EXPECT_EQ(out.size() % N, 0u) << "a frame was cut short";
    std::vector<int> values;
    for (std::size_t at = 0; at + N <= out.size(); at += N) {
        auto luma = static_cast<std::uint8_t>(out[at]);
        std::string want(W * H, static_cast<char>(luma));
        want.append(N - W * H, static_cast<char>(128));
        EXPECT_EQ(out.substr(at, N), want) << "frame " << values.size() << " is not flat";
        values.push_back(luma);
    }
    return values;
}

std::string line(std::string_view text) {
    return std::string(text) + "\n";
}

struct Unusable {
    const char* name;
    std::function<void(sim::SimStream&)> send;
};

SampleBufferPtr withAttachments(std::optional<std::vector<Attachments>> attachments) {
    auto sample = std::make_shared<SampleBuffer>(*sim::screenSample(sim::nv12Picture(W, H, 50)));
    sample->attachments = std::move(attachments);
    return sample;
}

void PrintTo(const Unusable& u, std::ostream* os) {
    *os << u.name;
}

class IntakeDrops : public testing::TestWithParam<Unusable> {};

// Catches the intake packing what a stream cannot use: such samples must neither be written
// nor announced as "ready".
TEST_P(IntakeDrops, WritesNothingAndStaysQuiet) {
    auto send = GetParam().send;
    auto result = runVideo("display", displayID, 30, 20, [send](sim::SimStream& stream) {
        for (int i = 0; i < 5; ++i) {
            send(stream);
            std::this_thread::sleep_for(20ms);
        }
        std::this_thread::sleep_for(200ms);
        exitProcess(0);
    });
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "");
}

INSTANTIATE_TEST_SUITE_P(
    Samples, IntakeDrops,
    testing::Values(
        Unusable{"AudioType",
                 [](sim::SimStream& s) {
                     s.deliver(OutputType::audio, sim::screenSample(sim::nv12Picture(W, H, 50)));
                 }},
        Unusable{"IdleStatus",
                 [](sim::SimStream& s) {
                     s.deliver(OutputType::screen,
                               sim::screenSample(sim::nv12Picture(W, H, 50), FrameStatus::idle));
                 }},
        Unusable{"Invalid",
                 [](sim::SimStream& s) {
                     auto sample = std::make_shared<SampleBuffer>(
                         *sim::screenSample(sim::nv12Picture(W, H, 50)));
                     sample->valid = false;
                     s.deliver(OutputType::screen, sample);
                 }},
        Unusable{"NoAttachments",
                 [](sim::SimStream& s) {
                     s.deliver(OutputType::screen, withAttachments(std::nullopt));
                 }},
        Unusable{"EmptyAttachments",
                 [](sim::SimStream& s) {
                     s.deliver(OutputType::screen, withAttachments(std::vector<Attachments>{}));
                 }},
        Unusable{"NoStatus",
                 [](sim::SimStream& s) {
                     s.deliver(OutputType::screen,
                               withAttachments(std::vector<Attachments>{{{"other", 0}}}));
                 }},
        Unusable{"StatusNotAnInteger",
                 [](sim::SimStream& s) {
                     s.deliver(OutputType::screen,
                               withAttachments(std::vector<Attachments>{
                                   {{std::string(frameStatusKey), std::string("0")}}}));
                 }},
        Unusable{
            "NoPicture",
            [](sim::SimStream& s) { s.deliver(OutputType::screen, sim::screenSample(nullptr)); }}),
    [](const auto& info) { return std::string(info.param.name); });

// Catches a queue behind the writer: frames that arrive faster than the pace are coalesced,
// written in order, the newest last, and "ready" is said once.
TEST(Pacing, CoalescesFastFramesAndAnnouncesOnce) {
    auto result = runVideo("display", displayID, 10, 1, [](sim::SimStream& stream) {
        auto start = std::chrono::steady_clock::now();
        for (int value = 1; value <= 40; ++value) {
            deliver(stream, static_cast<std::uint8_t>(value));
            std::this_thread::sleep_for(3ms);
        }
        auto passed = std::chrono::steady_clock::now() - start;
        std::this_thread::sleep_for(300ms);
        exitProcess(0, std::to_string(
                           std::chrono::duration_cast<std::chrono::milliseconds>(passed).count()));
    });
    EXPECT_EQ(result.status, 0);
    ASSERT_EQ(result.err.rfind(line(readyLine), 0), 0u);
    double delivering = std::stod(result.err.substr(line(readyLine).size()));
    EXPECT_EQ(result.err, line(readyLine) + std::to_string(static_cast<int>(delivering)) + "\n")
        << "\"ready\" must be said once";
    auto written = frames(result.out);
    ASSERT_GE(written.size(), 2u);
    // At FPS 10 a new frame is written at most every 75 ms.
    std::set<int> distinct(written.begin(), written.end());
    EXPECT_LE(static_cast<double>(distinct.size()), delivering / 75 + 3)
        << "frames were not coalesced";
    EXPECT_LT(distinct.size(), 40u);
    // Repeats of one frame may appear on a slow machine; an older frame after a newer never.
    EXPECT_TRUE(std::is_sorted(written.begin(), written.end()))
        << "an older frame followed a newer one";
    EXPECT_EQ(written.back(), 40) << "the newest frame was never written";
}

// A picture of `width` by `height` in planes that `layout` places, every byte of which tells its
// plane, row and column; what lies outside the picture (padding, spare rows, gaps) is 0xEE.
struct Layout {
    const char* name;
    std::size_t width;
    std::size_t height;
    std::size_t bytesPerRow;
    std::size_t spareRows; // rows past the frame's in each plane
    std::size_t gap;       // bytes between the planes
};

void PrintTo(const Layout& l, std::ostream* os) {
    *os << l.name;
}

std::uint8_t lumaByte(std::size_t x, std::size_t y) {
    return static_cast<std::uint8_t>(x * 7 + y * 13 + 1);
}

std::uint8_t chromaByte(std::size_t x, std::size_t y) {
    return static_cast<std::uint8_t>(x * 5 + y * 11 + 100);
}

std::shared_ptr<const PixelBuffer> patterned(const Layout& l) {
    const std::size_t lumaRows = l.height + l.spareRows;
    const std::size_t chromaRows = (l.height + 1) / 2 + l.spareRows;
    auto storage = std::make_shared<Bytes>(l.bytesPerRow * (lumaRows + chromaRows) + l.gap,
                                           std::uint8_t{0xEE});
    std::uint8_t* luma = storage->data();
    std::uint8_t* chroma = luma + l.bytesPerRow * lumaRows + l.gap;
    for (std::size_t y = 0; y < l.height; ++y) {
        for (std::size_t x = 0; x < l.width; ++x) {
            luma[y * l.bytesPerRow + x] = lumaByte(x, y);
        }
    }
    for (std::size_t y = 0; y < l.height / 2; ++y) {
        for (std::size_t x = 0; x < l.width; ++x) {
            chroma[y * l.bytesPerRow + x] = chromaByte(x, y);
        }
    }
    auto picture = std::make_shared<PixelBuffer>();
    picture->planes = {{luma, l.bytesPerRow, lumaRows}, {chroma, l.bytesPerRow, chromaRows}};
    picture->storage = storage;
    return picture;
}

// The frame the host must read, made here byte by byte.
std::string expectedFrame(const Layout& l) {
    std::string frame;
    for (std::size_t y = 0; y < l.height; ++y) {
        for (std::size_t x = 0; x < l.width; ++x) {
            frame.push_back(static_cast<char>(lumaByte(x, y)));
        }
    }
    for (std::size_t y = 0; y < l.height / 2; ++y) {
        for (std::size_t x = 0; x < l.width; ++x) {
            frame.push_back(static_cast<char>(chromaByte(x, y)));
        }
    }
    frame.append(l.width * l.height * 3 / 2 - frame.size(), '\0');
    return frame;
}

class PictureLayouts : public testing::TestWithParam<Layout> {};

// Catches frames written from a picture's own planes with bytes the host must not see: padding,
// spare rows, the gap between planes, the half chroma row of an odd height, a missing zero
// tail, or planes taken as one block when they are not.
TEST_P(PictureLayouts, WritesExactlyTheHostsLayout) {
    const Layout l = GetParam();
    auto result = runVideo({"display", std::to_string(displayID), std::to_string(l.width),
                            std::to_string(l.height), "30", "5"},
                           [l](sim::SimStream& stream) {
                               stream.deliver(OutputType::screen, sim::screenSample(patterned(l)));
                               std::this_thread::sleep_for(300ms);
                               exitProcess(0);
                           });
    EXPECT_EQ(result.status, 0);
    const std::string want = expectedFrame(l);
    ASSERT_GE(result.out.size(), want.size());
    EXPECT_EQ(result.out.size() % want.size(), 0u) << "a frame was cut short";
    for (std::size_t at = 0; at + want.size() <= result.out.size(); at += want.size()) {
        EXPECT_TRUE(result.out.compare(at, want.size(), want) == 0)
            << "frame " << at / want.size() << " differs";
    }
}

INSTANTIATE_TEST_SUITE_P(Frames, PictureLayouts,
                         testing::Values(Layout{"OneBlock", 16, 8, 16, 0, 0},
                                         Layout{"OddHeight", 16, 7, 16, 0, 0},
                                         Layout{"OddHeightOddWidth", 15, 7, 15, 0, 0},
                                         Layout{"PlanesApart", 16, 8, 16, 0, 32},
                                         Layout{"SpareRows", 16, 8, 16, 2, 0},
                                         Layout{"PaddedRows", 15, 8, 16, 0, 0},
                                         Layout{"PaddedOddHeight", 16, 9, 24, 1, 8}),
                         [](const auto& info) { return std::string(info.param.name); });

// Catches a still screen going silent: the newest frame is repeated about IDLE times a second.
TEST(Pacing, RepeatsTheNewestFrameWhileNothingArrives) {
    auto result = runVideo("display", displayID, 30, 5, [](sim::SimStream& stream) {
        auto start = std::chrono::steady_clock::now();
        deliver(stream, 9);
        std::this_thread::sleep_for(1500ms);
        // Slow builds stretch the sleep; the expected count follows the time that really passed.
        auto passed = std::chrono::steady_clock::now() - start;
        exitProcess(0, std::to_string(
                           std::chrono::duration_cast<std::chrono::milliseconds>(passed).count()));
    });
    EXPECT_EQ(result.status, 0);
    auto written = frames(result.out);
    double repeats = std::stod(result.err.substr(result.err.find('\n') + 1)) / 200;
    EXPECT_GE(static_cast<double>(written.size()), 1 + repeats / 2);
    EXPECT_LE(static_cast<double>(written.size()), 1 + repeats + 2);
    EXPECT_EQ(std::count(written.begin(), written.end(), 9), std::ssize(written));
}

// Catches repeats held up by the window check: a window server that is stopped answers whether
// the window exists only once it runs again, and the writer waited for it.
TEST(Pacing, RepeatsGoOnWhileTheWindowCheckWaits) {
    sim::World stopped = world();
    stopped.windowQueryDelay = 5s;
    auto result = runVideo(
        {"window", std::to_string(windowID), std::to_string(W), std::to_string(H), "30", "10"},
        [](sim::SimStream& stream) {
            deliver(stream, 9);
            // Past the first check, which then waits for the rest of the run.
            std::this_thread::sleep_for(2500ms);
            exitProcess(0);
        },
        stopped);
    EXPECT_EQ(result.status, 0);
    // IDLE 10 asks for a repeat every 0.1 s: about 25 in the run, and far more than the dozen
    // written before the check began to wait.
    EXPECT_GE(frames(result.out).size(), 18u);
}

// Catches a stalled reader reaching the stream: pictures are handed over on the delivering
// thread, so a writer blocked on a full pipe must not hold that thread, and what came meanwhile
// must be written, whole and in order, once the reader reads again.
TEST(Pacing, AStalledReaderHoldsNeitherTheStreamNorTheOrder) {
    constexpr std::int64_t w = 64;
    constexpr std::int64_t h = 48;
    constexpr std::size_t size = w * h * 3 / 2;
    static std::atomic<bool> reading{false};
    static int pipeEnd = -1;
    auto result = runInChild([] {
        sim::setWorld(world());
        // Standard output becomes a small pipe whose reader copies it on to the real one once
        // the script lets it read.
        int ends[2];
        if (pipe(ends) != 0 || fcntl(ends[1], F_SETPIPE_SZ, 4096) < 0) {
            exitProcess(9, "no pipe");
        }
        const int out = dup(STDOUT_FILENO);
        dup2(ends[1], STDOUT_FILENO);
        close(ends[1]);
        pipeEnd = ends[0];
        std::thread([from = ends[0], out] {
            char buffer[4096];
            for (;;) {
                while (!reading) {
                    std::this_thread::sleep_for(1ms);
                }
                ssize_t n = read(from, buffer, sizeof buffer);
                if (n <= 0 || write(out, buffer, static_cast<std::size_t>(n)) != n) {
                    return;
                }
            }
        }).detach();
        std::thread([] {
            auto stream = startedStream();
            auto send = [&](std::uint8_t value) {
                stream->deliver(OutputType::screen,
                                sim::screenSample(sim::nv12Picture(w, h, value)));
            };
            send(1);
            // A repeat of the first picture has begun once more than a frame waits in the
            // pipe (widened to two pages for this frame size): the writer is blocked in it.
            for (int queued = 0; queued <= static_cast<int>(size);) {
                std::this_thread::sleep_for(1ms);
                ioctl(pipeEnd, FIONREAD, &queued);
            }
            for (int value = 2; value <= 30; ++value) {
                send(static_cast<std::uint8_t>(value));
            }
            reading = true;
            std::this_thread::sleep_for(300ms);
            exitProcess(0);
        }).detach();
        setArgs({"lumatap", "video", "display", std::to_string(displayID), std::to_string(w),
                 std::to_string(h), "30", "5"});
        dispatch();
    });
    ASSERT_FALSE(result.timedOut) << "the stream waited for the stalled reader";
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, line(readyLine));
    ASSERT_EQ(result.out.size() % size, 0u) << "a frame was cut short";
    std::vector<int> written;
    for (std::size_t at = 0; at < result.out.size(); at += size) {
        std::string want(w * h, result.out[at]);
        want.append(size - w * h, static_cast<char>(128));
        EXPECT_EQ(result.out.substr(at, size), want) << "frame " << written.size() << " is mixed";
        written.push_back(static_cast<std::uint8_t>(result.out[at]));
    }
    // The frame under way, then only the newest: those between were replaced while waiting.
    ASSERT_GE(written.size(), 2u);
    EXPECT_EQ(written.front(), 1);
    EXPECT_EQ(std::set<int>(written.begin(), written.end()), (std::set<int>{1, 30}));
    EXPECT_TRUE(std::is_sorted(written.begin(), written.end()));
}

// Catches a closed window going unnoticed while no complete frame ever came: the loop's own
// check must still run, and nothing may be written or announced.
TEST(WindowClosed, DetectedByTheLoopBeforeAnyFrame) {
    auto result = runVideo("window", windowID, 30, 10, [](sim::SimStream& stream) {
        for (int i = 0; i < 10; ++i) {
            stream.deliver(OutputType::screen,
                           sim::screenSample(sim::nv12Picture(W, H, 5), FrameStatus::idle));
            std::this_thread::sleep_for(10ms);
        }
        closeWindow();
    });
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(result.status, statusGone);
    EXPECT_EQ(result.err, line(windowClosedLine));
    EXPECT_EQ(result.out, "");
}

// Catches a stream that keeps writing the last picture of a window that has gone.
TEST(WindowClosed, DetectedByTheLoopWhileStreaming) {
    auto result = runVideo("window", windowID, 30, 10, [](sim::SimStream& stream) {
        deliver(stream, 3);
        std::this_thread::sleep_for(200ms);
        closeWindow();
    });
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(result.status, statusGone);
    EXPECT_EQ(result.err, line(readyLine) + line(windowClosedLine));
    EXPECT_FALSE(frames(result.out).empty());
}

// Catches a reader that has gone being treated as a failure, or the process dying of SIGPIPE.
TEST(ReaderGone, EndsWithStatusZeroAndNoMessage) {
    auto result = runInChild([] {
        int ends[2];
        ASSERT_EQ(pipe(ends), 0);
        close(ends[0]);
        dup2(ends[1], STDOUT_FILENO);
        sim::setWorld(world());
        std::thread([] { deliver(*startedStream(), 4); }).detach();
        setArgs({"lumatap", "video", "display", "1", "16", "8", "30", "1"});
        dispatch();
    });
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(result.status, 0);
    // "ready" races the failed write of the first frame; nothing else may be said.
    EXPECT_TRUE(result.err.empty() || result.err == line(readyLine)) << result.err;
}

struct Stop {
    const char* name;
    std::string kind;
    std::uint32_t id;
    bool windowGone;
    ErrorPtr error;
    std::string err;
    int status;
};

void PrintTo(const Stop& s, std::ostream* os) {
    *os << s.name;
}

class StreamStop : public testing::TestWithParam<Stop> {};

// Catches a stop reported with the wrong line or status: a gone window is "closed" only when
// the kind was exactly "window"; everything else is the platform's error.
TEST_P(StreamStop, EndsWithTheRightLineAndStatus) {
    const Stop& stop = GetParam();
    auto result = runVideo(stop.kind, stop.id, 30, 1, [stop](sim::SimStream& stream) {
        if (stop.windowGone) {
            closeWindow();
        }
        stream.stop(stop.error);
    });
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(result.status, stop.status);
    EXPECT_EQ(result.err, stop.err);
    EXPECT_EQ(result.out, "");
}

ErrorPtr vanished = makeError("lumatap.x11", 2, "the display went away");
ErrorPtr declined =
    makeError(std::string(streamErrorDomain), userDeclinedCode, "the user declined");

INSTANTIATE_TEST_SUITE_P(Ends, StreamStop,
                         testing::Values(Stop{"WindowGone", "window", windowID, true, vanished,
                                              line(windowClosedLine), 3},
                                         Stop{"WindowStillThere", "window", windowID, false,
                                              vanished, "error: the display went away\n", 1},
                                         Stop{"DisplayStopped", "display", displayID, true,
                                              vanished, "error: the display went away\n", 1},
                                         Stop{"NotAllowed", "display", displayID, false, declined,
                                              line(permissionLine), 2},
                                         Stop{"NoError", "display", displayID, false, nullptr,
                                              line(unknownErrorLine), 1},
                                         Stop{"KindNotExactlyWindow", "Window", windowID, true,
                                              vanished, "error: the display went away\n", 1}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace lumatap
