// The map from Wayland toplevel identifiers to window numbers, shared by separate runs
// through a file: numbers must survive from one run to the next, never go to two windows, and
// never come back once their window is gone, whatever the file holds.
#include "capture/session/window_ids.h"

#include <atomic>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <set>
#include <thread>
#include <unistd.h>

namespace lumatap::session {
namespace {

class WindowIdsTest : public testing::Test {
  protected:
    void SetUp() override {
        dir = std::filesystem::temp_directory_path() /
              ("lumatap-ids-" + std::to_string(::getpid()) + "-" +
               testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(dir);
        std::filesystem::create_directories(dir);
        path = WindowIds::pathFor(dir.string(), "wayland-1");
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    // One run: lock, number what is listed, let go.
    std::map<std::string, WindowID> listed(const std::vector<std::string>& live) {
        ErrorPtr error;
        auto ids = WindowIds::lock(path, error);
        EXPECT_TRUE(ids) << (error ? error->description : "");
        std::map<std::string, WindowID> numbers;
        if (ids) {
            EXPECT_TRUE(ids->assign(live, numbers, error)) << (error ? error->description : "");
        }
        return numbers;
    }

    std::filesystem::path dir;
    std::string path;
};

// Catches numbers that change between runs, or two windows sharing one.
TEST_F(WindowIdsTest, NumbersStayForTheWindowsLifeAndDiffer) {
    auto first = listed({"aaa", "bbb"});
    ASSERT_EQ(first.size(), 2u);
    EXPECT_NE(first["aaa"], first["bbb"]);
    auto second = listed({"bbb", "aaa", "ccc"});
    EXPECT_EQ(second["aaa"], first["aaa"]);
    EXPECT_EQ(second["bbb"], first["bbb"]);
    EXPECT_EQ(std::set<WindowID>({second["aaa"], second["bbb"], second["ccc"]}).size(), 3u);
    EXPECT_NE(second["ccc"], 0u);
}

// Catches a number handed out again after its window closed (a host holding the old number
// would capture the wrong window), and a pruned identifier brought back with its old number.
TEST_F(WindowIdsTest, NumbersOfClosedWindowsAreNeverReused) {
    auto first = listed({"aaa", "bbb"});
    auto second = listed({"bbb"});
    EXPECT_EQ(second.count("aaa"), 0u);
    auto third = listed({"bbb", "ddd"});
    EXPECT_NE(third["ddd"], first["aaa"]);
    EXPECT_NE(third["ddd"], first["bbb"]);
    // Even with every window gone, the counter is kept.
    listed({});
    auto fourth = listed({"eee"});
    EXPECT_GT(fourth["eee"], third["ddd"]);

    ErrorPtr error;
    auto ids = WindowIds::lock(path, error);
    ASSERT_TRUE(ids);
    EXPECT_EQ(ids->find("eee"), fourth["eee"]);
    EXPECT_FALSE(ids->find("aaa"));
}

// Catches a damaged or foreign file crashing the run or making a number collide with one the
// file still holds; and identifiers that would break the file's lines being stored.
TEST_F(WindowIdsTest, DamagedFilesAndOddIdentifiersAreSafe) {
    {
        std::ofstream out(path);
        out << "lumatap window ids 1\n"
            << "7 kept\n"
            << "x7 junk\n"
            << "0 zero\n"
            << "99999999999999 toolarge\n"
            << "next banana\n"
            << "3\n"
            << "\n";
    }
    auto numbers = listed({"kept", "new", "with space", "", std::string(300, 'x'), "tab\there",
                           std::string("nul\0byte", 8)});
    EXPECT_EQ(numbers["kept"], 7u);
    ASSERT_EQ(numbers.count("new"), 1u);
    EXPECT_GT(numbers["new"], 7u) << "a lost counter must not hand out a number in the file";
    EXPECT_EQ(numbers.size(), 2u) << "identifiers that cannot be stored get no number";
    auto again = listed({"kept", "new"});
    EXPECT_EQ(again["kept"], 7u);
    EXPECT_EQ(again["new"], numbers["new"]);

    {
        std::ofstream out(path);
        out << "\x89PNG garbage\n1 aaa\n";
    }
    auto fresh = listed({"aaa"});
    EXPECT_EQ(fresh.size(), 1u);
}

// Catches two runs interleaving their read and write, which could give two windows one
// number: the second run's lock must wait for the first to let go.
TEST_F(WindowIdsTest, ASecondRunWaitsForTheFirst) {
    ErrorPtr error;
    auto first = WindowIds::lock(path, error);
    ASSERT_TRUE(first);
    std::atomic<bool> released{false};
    std::map<std::string, WindowID> secondNumbers;
    bool sawRelease = false;
    std::thread second([&] {
        ErrorPtr e;
        auto ids = WindowIds::lock(path, e);
        sawRelease = released.load();
        if (ids) {
            ids->assign({"aaa", "bbb"}, secondNumbers, e);
        }
    });
    std::map<std::string, WindowID> firstNumbers;
    ASSERT_TRUE(first->assign({"aaa"}, firstNumbers, error));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    released = true;
    first.reset();
    second.join();
    EXPECT_TRUE(sawRelease);
    EXPECT_EQ(secondNumbers["aaa"], firstNumbers["aaa"]);
    EXPECT_NE(secondNumbers["bbb"], firstNumbers["aaa"]);
}

// Catches a map that cannot be kept being reported as success.
TEST_F(WindowIdsTest, AMissingFolderIsAnError) {
    ErrorPtr error;
    auto ids = WindowIds::lock((dir / "absent" / "map").string(), error);
    EXPECT_FALSE(ids);
    ASSERT_TRUE(error);
    EXPECT_NE(error->description.find("cannot open"), std::string::npos) << error->description;
}

} // namespace
} // namespace lumatap::session
