// The tool under bad conditions at its own edges: missing standard descriptors, a parent that
// dies while the tool is stuck writing, and too little memory for threads. Each ends with the
// right line and status, or is survived.
#include "tests/support/xserver.h"

#include <fstream>
#include <gtest/gtest.h>
#include <regex>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace lumatap::test {
namespace {

// Catches the X connection taking descriptor 2 when standard error is closed at start: the
// tool's lines then went into the X protocol stream and a window stream froze after 2 frames.
TEST(Faults, ClosedStandardErrorLeavesTheXConnectionAlone) {
    XServer server(640, 480);
    XClient client(server);
    std::uint32_t window = client.window(20, 20, 200, 150, 0x3366cc, "title=Closed stderr");
    std::string command =
        std::string(LUMATAP_BIN) + " video window " + std::to_string(window) + " 64 48 30 20 2>&-";
    Process tool({"/bin/sh", "-c", "exec " + command}, server.env());
    // IDLE 20 repeats the frame 20 times a second; give it well over the 2 frames it froze at.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    ASSERT_TRUE(tool.running());
    tool.kill(SIGTERM);
    tool.wait(std::chrono::seconds(5));
    tool.drain();
    std::size_t frame = 64 * 48 * 3 / 2;
    EXPECT_EQ(tool.out().size() % frame, 0u);
    EXPECT_GE(tool.out().size() / frame, 8u);

    auto listed = run({"/bin/sh", "-c", std::string(LUMATAP_BIN) + " list 2>&- <&-"}, server.env());
    EXPECT_EQ(listed.status, 0);
    EXPECT_NE(listed.out.find("Closed stderr"), std::string::npos) << listed.out;
}

// Catches a tool that outlives its parent because another thread holds the way out while it
// is stuck writing a long line into a standard error that nobody reads.
TEST(Faults, ParentDeathEndsTheToolWhileItsLineIsStuck) {
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    // A bad number far longer than a pipe holds: its line can never be written whole. The
    // parent shell keeps the pipe's other end open (read and write) and never reads it.
    std::string longNumber(100000, '7');
    longNumber += "x";
    std::string script = "dir=$(mktemp -d); mkfifo $dir/f; exec 4<>$dir/f; rm -r $dir; " +
                         std::string(LUMATAP_BIN) + " thumb display " + longNumber +
                         " 1 1 >/dev/null 2>&4 & echo $!; sleep 1";
    Process parent({"/bin/sh", "-c", script});
    ASSERT_EQ(parent.wait(std::chrono::seconds(10)), 0);
    auto parentGone = std::chrono::steady_clock::now();
    parent.drain();
    pid_t tool = std::stoi(parent.out());
    int status = 0;
    while (waitpid(tool, &status, WNOHANG) != tool) {
        ASSERT_LT(std::chrono::steady_clock::now() - parentGone, std::chrono::seconds(10))
            << "the tool still runs";
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - parentGone, std::chrono::milliseconds(3000));
}

// Catches the C++ runtime's "terminate called ..." and an abort (status 134) when a thread or
// memory cannot be had: the tool must end with one line of its own and status 1.
TEST(Faults, RunningOutOfMemoryOrThreadsIsAnErrorLine) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "sanitizers reserve more address space than any such limit allows";
#endif
    XServer server(640, 480);
    XClient client(server);
    std::uint32_t window = client.window(20, 20, 200, 150, 0x3366cc, "title=Tight");
    for (const std::string& args :
         {std::string("list"), "video window " + std::to_string(window) + " 64 48 30 1"}) {
        for (int kilobytes : {20000, 30000, 40000}) {
            std::string script = "ulimit -v " + std::to_string(kilobytes) + "; exec " +
                                 std::string(LUMATAP_BIN) + " " + args;
            auto result = run({"/bin/sh", "-c", script}, server.env(), std::chrono::seconds(3));
            if (!result.status) {
                continue; // streaming: it had what it needed
            }
            SCOPED_TRACE(args + " with " + std::to_string(kilobytes) + " KiB: " + result.err);
            EXPECT_TRUE(*result.status == 0 || *result.status == 1) << *result.status;
            if (*result.status == 1) {
                EXPECT_TRUE(std::regex_match(result.err, std::regex("error: [^\n]+\n")));
            }
        }
    }
}

std::string firstDisplay(const XServer& server) {
    auto listed = run({LUMATAP_BIN, "list"}, server.env());
    auto at = listed.out.find("\"id\":");
    return listed.out.substr(at + 5, listed.out.find_first_of(",}", at) - at - 5);
}

// Catches `video` waiting forever without a line on a screen whose pixels it cannot convert,
// where `thumb` reports it.
TEST(Faults, AnUnreadableScreenFormatFailsTheStreamAtStart) {
    XServer server(640, 480, 8);
    std::string display = firstDisplay(server);
    auto still = run({LUMATAP_BIN, "thumb", "display", display, "64", "48"}, server.env());
    EXPECT_EQ(still.status, 1);
    EXPECT_EQ(still.err, "error: the pixel format of depth 8 is not supported\n");
    auto stream = run({LUMATAP_BIN, "video", "display", display, "64", "48", "30", "1"},
                      server.env(), std::chrono::seconds(5));
    EXPECT_EQ(stream.status, 1);
    EXPECT_EQ(stream.err, still.err);
    EXPECT_EQ(stream.out, "");
}

// Catches memory that multiplies with a narrow frame (every row padded to 64 bytes, the whole
// queue's buffers filled up front: 1.14 GB for a 3 MB frame).
TEST(Faults, ANarrowFrameCostsMemoryInProportionToItsSize) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "sanitizers keep freed memory in quarantine";
#endif
    XServer server(1920, 1080);
    std::string display = firstDisplay(server);
    ProcessOptions options = server.env();
    options.captureStdout = false;
    Process tool({LUMATAP_BIN, "video", "display", display, "1", "2000000", "30", "20"}, options);
    std::size_t frame = 1 * 2000000 * 3 / 2;
    // Read a few frames, then measure the peak while it streams on.
    ASSERT_EQ(tool.read(3 * frame, std::chrono::seconds(10)).size(), 3 * frame);
    std::ifstream status("/proc/" + std::to_string(tool.pid()) + "/status");
    std::string line;
    long peakKilobytes = -1;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) {
            peakKilobytes = std::stol(line.substr(6));
        }
    }
    ASSERT_GT(peakKilobytes, 0);
    EXPECT_LE(peakKilobytes * 1024, static_cast<long>(6 * frame + 30 * 1024 * 1024));
}

} // namespace
} // namespace lumatap::test
