// Reading window owners out of sway's tree: the process of every window, wherever the tree
// holds it, and nothing made up from a tree that is not what it should be.
#include "capture/wayland/sway_ipc.h"

#include <gtest/gtest.h>

namespace lumatap::wayland {
namespace {

// The windows of a tree that have a process, with their process ids.
std::map<std::string, std::int32_t> processesInTree(std::string_view json) {
    std::map<std::string, std::int32_t> processes;
    for (const auto& [identifier, window] : windowsInTree(json)) {
        if (window.pid) {
            processes[identifier] = *window.pid;
        }
    }
    return processes;
}

// Catches windows missed in nested containers or among the floating ones, and identifiers
// paired with another node's process.
TEST(SwayTree, FindsEveryWindowWithItsOwnProcess) {
    auto found = processesInTree(R"({"type":"root","nodes":[
        {"type":"output","nodes":[{"type":"workspace","nodes":[
            {"type":"con","nodes":[
                {"type":"con","foreign_toplevel_identifier":"aaa","pid":101,"nodes":[]},
                {"type":"con","foreign_toplevel_identifier":"bbb","pid":202,"nodes":[]}]}],
          "floating_nodes":[
            {"type":"floating_con","foreign_toplevel_identifier":"ccc","pid":303,"nodes":[]}]}]}]})");
    EXPECT_EQ(found,
              (std::map<std::string, std::int32_t>{{"aaa", 101}, {"bbb", 202}, {"ccc", 303}}));
}

// Catches a broken or hostile reply turned into owners: text that is not JSON, pids that are
// not positive numbers that fit, identifiers that are not strings.
TEST(SwayTree, IgnoresWhatIsNotAWindowWithAProcess) {
    EXPECT_TRUE(processesInTree("not json").empty());
    EXPECT_TRUE(processesInTree("").empty());
    EXPECT_TRUE(processesInTree("[1,2,3]").empty());
    auto found = processesInTree(R"({"nodes":[
        {"foreign_toplevel_identifier":"zero","pid":0},
        {"foreign_toplevel_identifier":"negative","pid":-5},
        {"foreign_toplevel_identifier":"huge","pid":99999999999},
        {"foreign_toplevel_identifier":"text","pid":"12"},
        {"foreign_toplevel_identifier":7,"pid":12},
        {"foreign_toplevel_identifier":"nopid"},
        {"foreign_toplevel_identifier":"good","pid":42}],
        "floating_nodes":"not a list"})");
    EXPECT_EQ(found, (std::map<std::string, std::int32_t>{{"good", 42}}));
}

// Catches an X program's window left without its WM_CLASS (sway gives it no app id), a class
// paired with another node, and a window without a process dropped from the answer.
TEST(SwayTree, GivesXwaylandWindowsTheirClass) {
    auto found = windowsInTree(R"({"nodes":[
        {"foreign_toplevel_identifier":"native","pid":11,"app_id":"foot","nodes":[]},
        {"foreign_toplevel_identifier":"x","pid":22,"shell":"xwayland",
         "window_properties":{"class":"XTerm","instance":"xterm"},"nodes":[]},
        {"foreign_toplevel_identifier":"odd","window_properties":{"class":5}}]})");
    ASSERT_EQ(found.size(), 3u);
    EXPECT_EQ(found["native"].windowClass, "");
    EXPECT_EQ(found["native"].pid, 11);
    EXPECT_EQ(found["x"].windowClass, "XTerm");
    EXPECT_EQ(found["x"].pid, 22);
    EXPECT_EQ(found["odd"].windowClass, "");
    EXPECT_FALSE(found["odd"].pid);
}

// Catches a socket that is not sway's taken for one, and a hang on a path nobody serves.
TEST(SwayTree, NoAnswerWhereNoSwayListens) {
    EXPECT_FALSE(swayWindows(""));
    EXPECT_FALSE(swayWindows("/nonexistent/sway-ipc.sock"));
    EXPECT_FALSE(swayWindows(std::string(200, 'x')));
}

} // namespace
} // namespace lumatap::wayland
