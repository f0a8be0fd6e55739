// The user's processes as read from /proc, which change under the reader.
#include "capture/session/processes.h"

#include <algorithm>
#include <atomic>
#include <csignal>
#include <gtest/gtest.h>
#include <set>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace lumatap::session {
namespace {

pid_t start(const char* program, const char* argument) {
    pid_t pid = 0;
    char* argv[] = {const_cast<char*>(program), const_cast<char*>(argument), nullptr};
    if (posix_spawnp(&pid, program, nullptr, nullptr, argv, environ) != 0) {
        return -1;
    }
    return pid;
}

TEST(SessionProcesses, ListsThisProgramAndItsChildOnceEachByShortName) {
    pid_t child = start("sleep", "30");
    ASSERT_GT(child, 0);
    auto found = sessionProcesses();
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);

    std::set<ProcessID> seen;
    for (auto& process : found) {
        EXPECT_TRUE(seen.insert(process.pid).second) << "twice: " << process.pid;
        EXPECT_FALSE(process.name.empty());
        EXPECT_EQ(process.name.find('\n'), std::string::npos) << process.name;
    }
    auto named = [&](ProcessID pid) {
        auto it = std::find_if(found.begin(), found.end(),
                               [&](const SessionProcess& p) { return p.pid == pid; });
        return it == found.end() ? std::string("(missing)") : it->name;
    };
    EXPECT_EQ(named(child), "sleep");
    EXPECT_EQ(named(getpid()), processName(getpid()));
    EXPECT_EQ(processName(child), ""); // reaped: gone
}

// Catches a parent read from the wrong field of /proc/PID/stat, as when the short name, which
// may hold ") " itself, is taken to end at its first parenthesis.
TEST(SessionProcesses, ReadsTheParentPastANameThatLooksLikeFields) {
    char pattern[] = "/tmp/lumatap-processes-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    std::string program = std::string(pattern) + "/a) S 1 (b";
    ASSERT_EQ(symlink("/bin/sleep", program.c_str()), 0);
    pid_t child = start(program.c_str(), "30");
    ASSERT_GT(child, 0);
    auto parent = parentProcess(child);
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    unlink(program.c_str());
    rmdir(pattern);
    EXPECT_EQ(parent, getpid());
    EXPECT_EQ(parentProcess(child), std::nullopt); // reaped: gone
}

// Processes that end while the list is read, even between opening one of their files and
// reading it, are left out; the reader neither fails nor throws.
TEST(SessionProcesses, SurvivesProcessesEndingWhileTheyAreRead) {
    std::atomic<bool> done{false};
    std::vector<std::thread> churn;
    for (int i = 0; i < 3; ++i) {
        churn.emplace_back([&] {
            while (!done) {
                pid_t pid = start("true", nullptr);
                if (pid > 0) {
                    waitpid(pid, nullptr, 0);
                }
            }
        });
    }
    int withSelf = 0;
    constexpr int rounds = 300;
    for (int i = 0; i < rounds; ++i) {
        try {
            auto found = sessionProcesses();
            withSelf += std::any_of(found.begin(), found.end(),
                                    [](const SessionProcess& p) { return p.pid == getpid(); });
        } catch (const std::exception& e) {
            ADD_FAILURE() << "threw: " << e.what();
            break;
        }
    }
    done = true;
    for (auto& thread : churn) {
        thread.join();
    }
    EXPECT_EQ(withSelf, rounds);
}

} // namespace
} // namespace lumatap::session
