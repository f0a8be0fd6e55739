// KWin's script answers with JSON that this process reads: what it cannot use is refused or
// left out, never turned into a window that is not there.
#include "capture/kde/kwin.h"

#include <gtest/gtest.h>

namespace lumatap::kde {
namespace {

// Catches a window list read wrongly (a field in the wrong place, a frame in the wrong order),
// an entry without uuid given an id, a process number out of range taken for a process, and
// an answer that is no list passed off as an empty one.
TEST(KWinWindows, ReadsTheScriptsAnswerAndLeavesOutWhatItCannotUse) {
    auto windows = parseWindows(R"([
        {"uuid":"{a}","title":"Qt window","resourceClass":"qt","desktopFile":"org.qt",
         "pid":4242,"x":10,"y":-20,"width":406,"height":333,"normal":true,"minimized":false,
         "hidden":false,"onCurrentDesktop":true,"output":"Virtual-0"},
        {"title":"no uuid"},
        {"uuid":"{b}","pid":1e12,"normal":"yes","width":"wide"}
    ])");
    ASSERT_TRUE(windows);
    ASSERT_EQ(windows->size(), 2u);
    const KWinWindow& a = (*windows)[0];
    EXPECT_EQ(a.uuid, "{a}");
    EXPECT_EQ(a.title, "Qt window");
    EXPECT_EQ(a.resourceClass, "qt");
    EXPECT_EQ(a.desktopFile, "org.qt");
    EXPECT_EQ(a.pid, 4242);
    EXPECT_EQ(a.frame.x, 10);
    EXPECT_EQ(a.frame.y, -20);
    EXPECT_EQ(a.frame.width, 406);
    EXPECT_EQ(a.frame.height, 333);
    EXPECT_TRUE(a.normal && a.onCurrentDesktop && !a.minimized && !a.hidden);
    EXPECT_EQ(a.output, "Virtual-0");
    const KWinWindow& b = (*windows)[1];
    EXPECT_EQ(b.pid, 0) << "no such process";
    EXPECT_FALSE(b.normal);
    EXPECT_EQ(b.frame.width, 0);

    EXPECT_FALSE(parseWindows(R"({"uuid":"{a}"})"));
    EXPECT_FALSE(parseWindows("[1,2]"));
    EXPECT_FALSE(parseWindows("[{\"uuid\":"));
    EXPECT_TRUE(parseWindows("[]") && parseWindows("[]")->empty());
}

} // namespace
} // namespace lumatap::kde
