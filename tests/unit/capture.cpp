// Snapshot and completion waiting, pixel geometry and target resolution over the simulated
// platform.
#include "capture/completion.h"
#include "capture/geometry.h"
#include "capture/serial_queue.h"
#include "capture/shareable.h"
#include "capture/sim/sim.h"
#include "capture/target.h"
#include "tests/support/child.h"

#include <atomic>
#include <gtest/gtest.h>
#include <latch>
#include <thread>

namespace lumatap {
namespace {

using test::runInChild;

std::shared_ptr<const Window> makeWindow(WindowID id, Rect frame, bool onScreen = true) {
    auto window = std::make_shared<Window>();
    window->windowID = id;
    window->frame = frame;
    window->isOnScreen = onScreen;
    return window;
}

// Catches tasks given on the caller's thread overtaking or overlapping queued ones: whoever
// runs them, a queue's tasks run one at a time and in the order given.
TEST(SerialQueue, PerformedAndQueuedTasksRunOneAtATimeInOrder) {
    SerialQueue queue("test");
    std::vector<int> ran;
    std::atomic<int> running{0};
    bool overlapped = false;
    auto task = [&](int i) {
        return [&, i] {
            overlapped = overlapped || running.fetch_add(1) != 0;
            ran.push_back(i);
            std::this_thread::yield();
            running.fetch_sub(1);
        };
    };
    // A slow queued task first, so that the tasks performed behind it must wait their turn.
    std::latch started(1);
    queue.async([&] {
        started.count_down();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        ran.push_back(0);
    });
    started.wait();
    for (int i = 1; i <= 200; ++i) {
        if (i % 3) {
            queue.perform(task(i));
        } else {
            queue.async(task(i));
        }
    }
    std::latch done(1);
    queue.async([&] { done.count_down(); });
    done.wait();
    EXPECT_FALSE(overlapped);
    ASSERT_EQ(ran.size(), 201u);
    for (int i = 0; i <= 200; ++i) {
        EXPECT_EQ(ran[static_cast<std::size_t>(i)], i);
    }
}

// Catches a wait that returns before the completion ran, or trusts the error over a value.
TEST(CompletionWait, ReturnsTheValueEvenWhenAnErrorCameWithIt) {
    auto value = std::make_shared<const int>(42);
    auto got = awaitValue<int>([&](auto completion) {
        std::thread([completion, value] {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            completion(value, makeError("d", 1, "ignored"));
        }).detach();
    });
    EXPECT_EQ(*got, 42);
}

TEST(CompletionWait, EndsThroughFailWithWhenNoValueCame) {
    auto result = runInChild([] {
        awaitValue<int>([](auto completion) { completion(nullptr, makeError("d", 7, "broke")); });
    });
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "error: broke\n");
    result =
        runInChild([] { awaitValue<int>([](auto completion) { completion(nullptr, nullptr); }); });
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "error: unknown\n");
}

// Catches a wait that gives up on a slow platform instead of blocking.
TEST(CompletionWait, BlocksForAsLongAsThePlatformDoesNotAnswer) {
    auto result = runInChild([] { awaitValue<int>([](auto) {}); }, std::chrono::milliseconds(500));
    EXPECT_TRUE(result.timedOut);
    EXPECT_EQ(result.err, "");
}

TEST(CompletionWait, ErrorOnlyFormCarriesOnOrFails) {
    awaitCompletion([](auto completion) { std::thread(completion, nullptr).detach(); });
    auto result = runInChild([] {
        awaitCompletion([](auto completion) {
            completion(makeError(std::string(streamErrorDomain), userDeclinedCode, "no"));
        });
    });
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.err, "permission: Screen Recording is not allowed for Beamora\n");
}

// Catches a snapshot request with the wrong flags, or off-screen windows leaking into lists.
TEST(Shareable, AsksWithDesktopWindowsExcludedAndTheOnScreenFlagPassedThrough) {
    sim::World world;
    auto content = std::make_shared<ShareableContent>();
    content->windows = {makeWindow(1, {}, true), makeWindow(2, {}, false)};
    world.content = content;
    sim::setWorld(world);
    EXPECT_EQ(shareable(true)->windows.size(), 1u);
    EXPECT_EQ(sim::lastContentRequest(), std::make_pair(true, true));
    EXPECT_EQ(shareable(false)->windows.size(), 2u);
    EXPECT_EQ(sim::lastContentRequest(), std::make_pair(true, false));
}

// Two displays side by side: a 1.5x one at the origin and a plain one to its right, plus a
// display with no mode that is 0 points wide.
sim::World twoDisplays() {
    sim::World world;
    world.displays = {{1, platform::DisplayMode{2880, 1620}, {0, 0, 1920, 1080}},
                      {2, std::nullopt, {1920, 0, 1280, 1024}},
                      {3, std::nullopt, {0, 2000, 0, 0}}};
    world.mainDisplay = 2;
    return world;
}

// Catches scale factors taken from the wrong display, or fractions lost.
TEST(Geometry, MeasuresDisplaysAndWindowsInDevicePixels) {
    sim::setWorld(twoDisplays());
    EXPECT_EQ(displayPixels(1).width, 2880);
    EXPECT_EQ(displayPixels(2).width, 1280); // no mode: its bounds in points
    EXPECT_EQ(displayPixels(2).height, 1024);
    EXPECT_DOUBLE_EQ(scale({10, 10}), 1.5);
    EXPECT_DOUBLE_EQ(scale({2000, 10}), 1.0);
    EXPECT_DOUBLE_EQ(scale({-500, -500}), 1.0); // on no display: the main display's factor
    Size small = windowPixels(*makeWindow(9, {100, 100, 101, 51}));
    EXPECT_DOUBLE_EQ(small.width, 151.5);
    EXPECT_DOUBLE_EQ(small.height, 76.5);
    // Spanning both displays, its centre on the dense one: that factor for the whole window.
    Size spanning = windowPixels(*makeWindow(9, {1000, 0, 1000, 100}));
    EXPECT_DOUBLE_EQ(spanning.width, 1500);
    Size flat = windowPixels(*makeWindow(9, {10, 10, 0, 50}));
    EXPECT_DOUBLE_EQ(flat.width, 0);
}

TEST(Geometry, ZeroWideDisplayWithoutModeHasFactorZero) {
    sim::World world = twoDisplays();
    world.mainDisplay = 3;
    sim::setWorld(world);
    EXPECT_DOUBLE_EQ(scale({-1, -1}), 0.0);
    world.displayQueryFails = true; // a failing query falls back to the main display too
    world.mainDisplay = 1;
    sim::setWorld(world);
    EXPECT_DOUBLE_EQ(scale({2000, 10}), 1.5);
}

sim::World targets() {
    sim::World world = twoDisplays();
    auto content = std::make_shared<ShareableContent>();
    content->displays = {std::make_shared<const Display>(Display{1}),
                         std::make_shared<const Display>(Display{2})};
    content->windows = {makeWindow(7, {10, 10, 200, 100}, true),
                        makeWindow(8, {2000, 10, 300, 200}, false)};
    world.content = content;
    return world;
}

// Catches a target looked up in the wrong list, or a hidden window that cannot be captured.
TEST(Target, ResolvesDisplaysAndWindowsOnScreenOrNot) {
    sim::setWorld(targets());
    Target display = target("display", 1);
    ASSERT_TRUE(display.filter->display);
    EXPECT_EQ(display.filter->display->displayID, 1u);
    EXPECT_FALSE(display.filter->window);
    EXPECT_EQ(display.pixels.width, 2880);
    Target hidden = target("window", 8);
    ASSERT_TRUE(hidden.filter->window);
    EXPECT_EQ(hidden.filter->window->windowID, 8u);
    EXPECT_EQ(hidden.pixels.width, 300);
    EXPECT_EQ(target("anything", 7).pixels.width, 300); // 200 points at 1.5
}

struct MissingCase {
    std::string kind;
    std::uint32_t id;
    std::string err;
    int status;
};
class MissingTarget : public ::testing::TestWithParam<MissingCase> {};

// Catches the wrong kind of "gone", or a display found under a window kind.
TEST_P(MissingTarget, EndsWithItsLineAndStatus) {
    auto result = runInChild([] {
        sim::setWorld(targets());
        target(GetParam().kind, GetParam().id);
    });
    EXPECT_EQ(result.status, GetParam().status);
    EXPECT_EQ(result.err, GetParam().err + "\n");
    EXPECT_EQ(result.out, "");
}

INSTANTIATE_TEST_SUITE_P(Kinds, MissingTarget,
                         ::testing::Values(MissingCase{"display", 7, "gone: no such screen", 1},
                                           MissingCase{"Display", 1, "gone: no such window", 3},
                                           MissingCase{"screen", 2, "gone: no such window", 3},
                                           MissingCase{"window", 1, "gone: no such window", 3},
                                           MissingCase{"", 99, "gone: no such window", 3}),
                         [](const auto& info) { return "case" + std::to_string(info.index); });

// Catches a missing target reported when the snapshot itself failed.
TEST(Target, ReportsASnapshotFailureBeforeLookingAtTheId) {
    auto result = runInChild([] {
        sim::World world = targets();
        world.content = nullptr;
        world.contentError = makeError("d", 3, "no snapshot today");
        sim::setWorld(world);
        target("window", 12345);
    });
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "error: no snapshot today\n");
}

// Catches a closed window counted as alive, or an absent answer counted as a window.
TEST(WindowExists, AsksTheWindowServerForThatOneWindow) {
    sim::World world;
    world.existingWindows = {5};
    sim::setWorld(world);
    EXPECT_TRUE(windowExists(5));
    EXPECT_FALSE(windowExists(6));
    world.windowQueryAbsent = true;
    sim::setWorld(world);
    EXPECT_FALSE(windowExists(5));
}

} // namespace
} // namespace lumatap
