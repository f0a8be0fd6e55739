// The inventory over the simulated platform: which windows are listed, in which order, with
// which numbers.
#include "inventory/list.h"

#include "capture/sim/sim.h"
#include "tests/support/child.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <unistd.h>

namespace lumatap {
namespace {

using nlohmann::json;
using test::runInChild;

std::shared_ptr<const RunningApplication> app(ProcessID pid, std::string name) {
    return std::make_shared<const RunningApplication>(RunningApplication{pid, std::move(name)});
}

std::shared_ptr<const Window> window(WindowID id, Rect frame,
                                     std::shared_ptr<const RunningApplication> owner,
                                     std::optional<std::string> title = "t", std::int64_t layer = 0,
                                     bool onScreen = true) {
    auto w = std::make_shared<Window>();
    w->windowID = id;
    w->frame = frame;
    w->owningApplication = std::move(owner);
    w->title = std::move(title);
    w->windowLayer = layer;
    w->isOnScreen = onScreen;
    return w;
}

WindowInfo numbered(std::int64_t n) {
    return {{std::string(windowNumberKey), n}};
}

// Runs `list` in a child over a world that `build` makes there (so that the child's own
// process id is the one to leave out).
json listIn(const std::function<sim::World()>& build) {
    auto result = runInChild([&] {
        sim::setWorld(build());
        list();
    });
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_NE(result.out.back(), '\n');
    return json::parse(result.out);
}

sim::World desk() {
    sim::World world;
    world.displays = {{1, platform::DisplayMode{2880, 1800}, {0, 0, 1440, 900}},
                      {2, std::nullopt, {-1280, -200, 1280, 1024}}};
    world.mainDisplay = 1;
    auto content = std::make_shared<ShareableContent>();
    content->displays = {std::make_shared<const Display>(Display{1}),
                         std::make_shared<const Display>(Display{2})};
    world.content = content;
    return world;
}

// Catches wrong display numbers: pixel sizes from the mode, origins in points, the main flag.
TEST(List, DescribesEveryDisplay) {
    json doc = listIn(desk);
    ASSERT_EQ(doc["displays"].size(), 2u);
    EXPECT_EQ(
        doc["displays"][0],
        json::parse(R"({"id":1,"width":2880,"height":1800,"left":0,"top":0,"primary":true})"));
    EXPECT_EQ(doc["displays"][1], json::parse(R"({"id":2,"width":1280,"height":1024,"left":-1280,
                                                  "top":-200,"primary":false})"));
    EXPECT_EQ(doc["windows"], json::array());
}

// Catches a window that the filter should drop but lists, or the other way round.
TEST(List, ListsOnlyNormalOnScreenWindowsOfOtherProcessesOfUsefulSize) {
    json doc = listIn([] {
        sim::World world = desk();
        auto content = std::make_shared<ShareableContent>(*world.content);
        auto other = app(1, "Editor");
        content->windows = {
            window(10, {0, 0, 160, 120}, other, std::nullopt),    // exactly the minimum: listed
            window(11, {0, 0, 159.9, 500}, other),                // too narrow
            window(12, {0, 0, 500, 119.9}, other),                // too low
            window(13, {0, 0, 500, 500}, other, "menu", 101),     // not the normal layer
            window(14, {0, 0, 500, 500}, other, "off", 0, false), // not on screen
            window(15, {0, 0, 500, 500}, nullptr),                // no owner
            window(16, {0, 0, 500, 500}, app(getpid(), "self")),  // this program
            window(17, {0, 0, 500, 500}, app(getppid(), "host")), // the host
            window(18, {0, 0, 200.3, 150.7}, other, "f"),         // 400.6 by 301.4 pixels
        };
        world.content = content;
        return world;
    });
    ASSERT_EQ(doc["windows"].size(), 2u);
    // 160 by 120 points on a 2x display; the window without a title has an empty one.
    EXPECT_EQ(doc["windows"][0],
              json::parse(R"({"id":10,"title":"","app":"Editor","width":320,"height":240,
                              "rank":100000})"));
    EXPECT_EQ(doc["windows"][1]["width"], 400); // truncated, not rounded
    EXPECT_EQ(doc["windows"][1]["height"], 301);
}

// Catches ranks taken from the wrong place, counted wrongly, or a sort that is not stable.
TEST(List, RanksWindowsByTheWindowServersFrontToBackOrder) {
    json doc = listIn([] {
        sim::World world = desk();
        auto content = std::make_shared<ShareableContent>(*world.content);
        auto other = app(1, "A");
        content->windows = {window(1, {0, 0, 200, 200}, other), window(2, {0, 0, 200, 200}, other),
                            window(3, {0, 0, 200, 200}, other), window(4, {0, 0, 200, 200}, other),
                            window(5, {0, 0, 200, 200}, other)};
        world.content = content;
        world.windowList = std::vector<WindowInfo>{
            numbered(99),                          // a window that is not listed still counts
            {{"other", std::int64_t{3}}},          // no number: takes no place
            {{std::string(windowNumberKey), 2.5}}, // not an integer: takes no place
            numbered(3),
            numbered(1),
            numbered(3)}; // the first place wins
        return world;
    });
    std::vector<std::pair<int, int>> got;
    for (const auto& w : doc["windows"]) {
        got.emplace_back(w["id"], w["rank"]);
    }
    EXPECT_EQ(got, (std::vector<std::pair<int, int>>{
                       {3, 1}, {1, 2}, {2, 100000}, {4, 100000}, {5, 100000}}));
}

// Catches a failed window-server answer treated as an error instead of "no ranks".
TEST(List, WithoutAWindowServerAnswerEveryWindowIsUnranked) {
    json doc = listIn([] {
        sim::World world = desk();
        auto content = std::make_shared<ShareableContent>(*world.content);
        content->windows = {window(7, {0, 0, 200, 200}, app(1, "A")),
                            window(6, {0, 0, 200, 200}, app(1, "A"))};
        world.content = content;
        world.windowList = std::nullopt;
        return world;
    });
    EXPECT_EQ(doc["windows"][0]["id"], 7);
    EXPECT_EQ(doc["windows"][1]["rank"], 100000);
}

// Catches output written before a failed snapshot ends the run.
TEST(List, AFailedSnapshotPrintsNothing) {
    auto result = runInChild([] {
        sim::World world = desk();
        world.content = nullptr;
        world.contentError = makeError(std::string(streamErrorDomain), userDeclinedCode, "no");
        sim::setWorld(world);
        list();
    });
    EXPECT_EQ(result.status, 2);
    EXPECT_EQ(result.out, "");
}

// Catches titles from other programs that are not UTF-8 breaking the whole document.
TEST(List, KeepsTheDocumentValidForTitlesThatAreNotUtf8) {
    json doc = listIn([] {
        sim::World world = desk();
        auto content = std::make_shared<ShareableContent>(*world.content);
        content->windows = {window(7, {0, 0, 200, 200}, app(1, "A"), std::string("caf\xe9 \"q\""))};
        world.content = content;
        return world;
    });
    EXPECT_EQ(doc["windows"][0]["title"], "caf\xef\xbf\xbd \"q\"");
}

} // namespace
} // namespace lumatap
