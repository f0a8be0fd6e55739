// Setting up a video stream over the simulated platform: the configuration the stream gets,
// refusals of the command line and of the platform, and nothing written before the stream runs.
#include "capture/sim/sim.h"
#include "channels/exit.h"
#include "channels/messages.h"
#include "lumatap/command_line.h"
#include "tests/support/child.h"

#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <thread>

namespace lumatap {
namespace {

using namespace std::chrono_literals;
using test::ChildResult;
using test::runInChild;

sim::World world() {
    sim::World w;
    auto content = std::make_shared<ShareableContent>();
    content->displays.push_back(std::make_shared<const Display>(Display{1}));
    auto window = std::make_shared<Window>();
    window->windowID = 7;
    window->isOnScreen = true;
    content->windows.push_back(window);
    w.content = content;
    w.existingWindows = {7};
    return w;
}

template <class T> std::string show(const std::optional<T>& value) {
    if (!value) {
        return "unset";
    }
    std::ostringstream text;
    text << *value;
    return text.str();
}

// Everything the stream was given, in one line.
std::string describe(const sim::SimStream& stream) {
    const StreamConfiguration& c = *stream.configuration;
    std::ostringstream text;
    text << show(c.width) << "x" << show(c.height) << " interval ";
    if (c.minimumFrameInterval) {
        text << c.minimumFrameInterval->value << "/" << c.minimumFrameInterval->timescale;
    } else {
        text << "unset";
    }
    text << " format " << show(c.pixelFormat) << " matrix " << show(c.colorMatrix) << " space "
         << show(c.colorSpaceName) << " cursor " << show(c.showsCursor) << " fit "
         << show(c.scalesToFit) << " aspect " << show(c.preservesAspectRatio) << " depth "
         << show(c.queueDepth) << " audio " << show(c.capturesAudio);
    if (stream.filter->window) {
        text << " window " << stream.filter->window->windowID;
    } else if (stream.filter->display) {
        text << " display " << stream.filter->display->displayID << " excluding "
             << stream.filter->excludedWindows.size();
    }
    for (const auto& output : stream.outputs()) {
        text << " output " << static_cast<int>(output.type) << " on " << output.queue->label();
    }
    return text.str();
}

ChildResult runVideo(const std::vector<std::string>& words, sim::World setup, bool report,
                     std::chrono::milliseconds timeout = 10s) {
    return runInChild(
        [&] {
            sim::setWorld(setup);
            if (report) {
                std::thread([] {
                    for (;;) {
                        auto stream = sim::lastStream();
                        if (stream && stream->started()) {
                            exitProcess(0, describe(*stream));
                        }
                        std::this_thread::sleep_for(1ms);
                    }
                }).detach();
            }
            std::vector<std::string> args = {"lumatap", "video"};
            args.insert(args.end(), words.begin(), words.end());
            setArgs(args);
            dispatch();
        },
        timeout);
}

struct Setup {
    const char* name;
    std::vector<std::string> words;
    std::string described;
};

void PrintTo(const Setup& s, std::ostream* os) {
    *os << s.name;
}

class StreamSetup : public testing::TestWithParam<Setup> {};

// Catches a stream configured other than the host asked: size, rate, NV12 video range BT.709,
// pointer, fitting, queue depth, the filter, and the screen output on the "frames" queue.
TEST_P(StreamSetup, ConfiguresTheStreamAsAsked) {
    auto result = runVideo(GetParam().words, world(), true);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, GetParam().described + "\n");
}

INSTANTIATE_TEST_SUITE_P(
    Video, StreamSetup,
    testing::Values(Setup{"Display",
                          {"display", "1", "1280", "720", "30", "1"},
                          "1280x720 interval 1/30 format 875704438 matrix ITU_R_709_2 space "
                          "kCGColorSpaceITUR_709 cursor 1 fit 1 aspect 1 depth 6 audio unset "
                          "display 1 excluding 0 output 0 on frames"},
                    Setup{"WindowAtTheHighestRate",
                          {"window", "7", "33", "17", "2147483647", "1000000"},
                          "33x17 interval 1/2147483647 format 875704438 matrix ITU_R_709_2 space "
                          "kCGColorSpaceITUR_709 cursor 1 fit 1 aspect 1 depth 6 audio unset "
                          "window 7 output 0 on frames"}),
    [](const auto& info) { return std::string(info.param.name); });

struct Refusal {
    const char* name;
    std::vector<std::string> words;
    std::function<void(sim::World&)> change;
    std::string err;
    int status;
};

void PrintTo(const Refusal& r, std::ostream* os) {
    *os << r.name;
}

class SetupRefused : public testing::TestWithParam<Refusal> {};

// Catches a refusal reported with the wrong line or status, or any frame byte written first.
TEST_P(SetupRefused, EndsWithOneLineAndNothingWritten) {
    sim::World setup = world();
    if (GetParam().change) {
        GetParam().change(setup);
    }
    auto result = runVideo(GetParam().words, setup, false);
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(result.status, GetParam().status);
    EXPECT_EQ(result.err, GetParam().err + "\n");
    EXPECT_EQ(result.out, "");
}

const std::vector<std::string> display = {"display", "1", "64", "48", "30", "1"};

INSTANTIATE_TEST_SUITE_P(
    Video, SetupRefused,
    testing::Values(Refusal{"OutputRefusedWithoutReason", display,
                            [](sim::World& w) { w.refuseOutputAt = 0; },
                            std::string(errorPrefix) + std::string(outputRefusedDescription), 1},
                    Refusal{"OutputRefusedWithReason", display,
                            [](sim::World& w) {
                                w.refuseOutputAt = 0;
                                w.refuseOutputError = makeError("x", 5, "no outputs today");
                            },
                            "error: no outputs today", 1},
                    Refusal{"StartFails", display,
                            [](sim::World& w) { w.startError = makeError("x", 9, "cannot start"); },
                            "error: cannot start", 1},
                    Refusal{"StartNotAllowed", display,
                            [](sim::World& w) {
                                w.startError = makeError(std::string(streamErrorDomain),
                                                         userDeclinedCode, "declined");
                            },
                            std::string(permissionLine), 2},
                    Refusal{"NoSuchWindow",
                            {"window", "8", "64", "48", "30", "1"},
                            nullptr,
                            std::string(noSuchWindowLine),
                            3},
                    Refusal{"NoSuchScreen",
                            {"display", "2", "64", "48", "30", "1"},
                            nullptr,
                            std::string(noSuchScreenLine),
                            1},
                    // Refused before the platform is asked anything: without a snapshot these would
                    // otherwise end with "error: unknown".
                    Refusal{"RateBeyondATimescale",
                            {"display", "1", "64", "48", "2147483648", "1"},
                            [](sim::World& w) { w.content = nullptr; },
                            "usage: bad number 2147483648",
                            1},
                    Refusal{"RateEchoedAsGiven",
                            {"display", "1", "64", "48", "+02147483648", "1"},
                            [](sim::World& w) { w.content = nullptr; },
                            "usage: bad number +02147483648",
                            1},
                    Refusal{"FrameSizeOverflows",
                            {"display", "1", "100000", "100000000000000", "30", "1"},
                            [](sim::World& w) { w.content = nullptr; },
                            "usage: bad number 100000000000000",
                            1},
                    Refusal{"WidthAloneTooLarge",
                            {"display", "1", "9223372036854775807", "1", "30", "1"},
                            [](sim::World& w) { w.content = nullptr; },
                            "usage: bad number 9223372036854775807",
                            1},
                    Refusal{"FrameCannotBeHeld",
                            {"display", "1", "1000000000", "1000000", "30", "1"},
                            [](sim::World& w) { w.content = nullptr; },
                            "usage: bad number 1000000",
                            1}),
    [](const auto& info) { return std::string(info.param.name); });

// Catches a start that never completes being given up on, or anything written meanwhile: the
// command waits (the parent watch ends it in real use).
TEST(StreamStart, WaitsForACompletionThatNeverComes) {
    sim::World setup = world();
    setup.startDelivery = sim::Delivery::never;
    auto result = runVideo(display, setup, false, 1500ms);
    EXPECT_TRUE(result.timedOut);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, "");
}

} // namespace
} // namespace lumatap
