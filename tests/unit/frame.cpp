// The process frame: command-line rules, the dispatch order, the output channels and the
// failure lines, each checked in a child process the way the host sees them.
#include "capture/failure.h"
#include "capture/sim/sim.h"
#include "channels/exit.h"
#include "channels/messages.h"
#include "channels/output.h"
#include "lumatap/command_line.h"
#include "tests/support/child.h"

#include <atomic>
#include <csignal>
#include <cstring>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sstream>
#include <sys/time.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace lumatap {
namespace {

using test::runInChild;

test::ChildResult runArgs(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), "lumatap");
    return runInChild([&] {
        sim::World world; // no display, no window: every snapshot is empty
        world.content = std::make_shared<ShareableContent>();
        sim::setWorld(world);
        setArgs(arguments);
        dispatch();
    });
}

// Catches numbers that slip through the rules (signs, spaces, exponents, overflow).
struct NumberCase {
    const char* text;
    std::optional<std::int64_t> value;
};
class NumberRules : public ::testing::TestWithParam<NumberCase> {};

TEST_P(NumberRules, ReadsExactlyTheDecimalIntegers) {
    EXPECT_EQ(parseNumber(GetParam().text), GetParam().value);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, NumberRules,
    ::testing::Values(NumberCase{"5", 5}, NumberCase{"+5", 5}, NumberCase{"007", 7},
                      NumberCase{"-3", -3}, NumberCase{"0", 0}, NumberCase{"-0", 0},
                      NumberCase{"9223372036854775807", INT64_MAX},
                      NumberCase{"-9223372036854775808", INT64_MIN},
                      NumberCase{"9223372036854775808", std::nullopt},
                      NumberCase{"99999999999999999999999", std::nullopt},
                      NumberCase{"", std::nullopt}, NumberCase{"+", std::nullopt},
                      NumberCase{"-", std::nullopt}, NumberCase{" 5", std::nullopt},
                      NumberCase{"5 ", std::nullopt}, NumberCase{"1e3", std::nullopt},
                      NumberCase{"12px", std::nullopt}, NumberCase{"+-5", std::nullopt},
                      NumberCase{"1.0", std::nullopt}, NumberCase{"٣", std::nullopt}),
    [](const auto& info) { return "case" + std::to_string(info.index); });

// Catches a wrong line, status or channel on the ways a bad command line ends.
struct LineCase {
    std::vector<std::string> args;
    std::string err;
    int status;
};
class CommandLineFailures : public ::testing::TestWithParam<LineCase> {};

TEST_P(CommandLineFailures, EndWithTheirLineAndStatusAndNoPayload) {
    auto result = runArgs(GetParam().args);
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(result.status, GetParam().status);
    EXPECT_EQ(result.err, GetParam().err + "\n");
    EXPECT_EQ(result.out, "");
}

const std::string usage(usageLine);

INSTANTIATE_TEST_SUITE_P(
    Lines, CommandLineFailures,
    ::testing::Values(
        LineCase{{}, usage, 1}, LineCase{{"LIST"}, usage, 1}, LineCase{{"List"}, usage, 1},
        LineCase{{""}, usage, 1}, LineCase{{"help"}, usage, 1},
        LineCase{{"thumb"}, "usage: bad number ", 1},
        LineCase{{"thumb", "display", "0", "1", "1"}, "usage: bad number 0", 1},
        LineCase{{"thumb", "display", "1", "-3", "1"}, "usage: bad number -3", 1},
        LineCase{{"thumb", "display", "1", "5", "12px"}, "usage: bad number 12px", 1},
        LineCase{{"video", "display", "1", "1280", "720", "30"}, "usage: bad number ", 1},
        LineCase{{"video", "display", "1", "0", "720", "30", "5"}, "usage: bad number 0", 1},
        LineCase{{"video", "display", "x", "y", "z", "w", "v"}, "usage: bad number x", 1},
        // The text is echoed as it was given, line feed and all.
        LineCase{{"thumb", "window", "1\n2", "5", "5"}, "usage: bad number 1\n2", 1},
        // An id must fit 32 bits: refused, never wrapped to 0 or 1.
        LineCase{{"thumb", "window", "4294967296", "5", "5"}, "usage: bad number 4294967296", 1},
        LineCase{{"video", "display", "4294967297", "5", "5", "5", "5"},
                 "usage: bad number 4294967297",
                 1}),
    [](const auto& info) { return "case" + std::to_string(info.index); });

// Catches arguments read out of order or ids cut to 32 bits before the target is looked up.
TEST(Dispatch, ReadsTheLargestIdAndResolvesTheTarget) {
    auto result = runArgs({"thumb", "window", "4294967295", "+5", "007"});
    EXPECT_EQ(result.status, 3);
    EXPECT_EQ(result.err, "gone: no such window\n");
    result = runArgs({"video", "display", "4294967295", "1", "1", "1", "1", "ignored", "words"});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "gone: no such screen\n");
}

TEST(Dispatch, ListIgnoresExtraWords) {
    auto result = runArgs({"list", "extra", "words"});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, R"({"displays":[],"windows":[]})");
    EXPECT_EQ(result.err, "");
}

// Catches a platform error mapped to the wrong line or status.
struct ErrorCase {
    ErrorPtr error;
    std::string err;
    int status;
};
class FailureMapping : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(FailureMapping, GivesTheLineAndStatusOfTheError) {
    auto result = runInChild([&] { failWith(GetParam().error); });
    EXPECT_EQ(result.status, GetParam().status);
    EXPECT_EQ(result.err, GetParam().err + "\n");
    EXPECT_EQ(result.out, "");
}

INSTANTIATE_TEST_SUITE_P(
    Errors, FailureMapping,
    ::testing::Values(
        ErrorCase{nullptr, "error: unknown", 1},
        ErrorCase{makeError("SCStreamErrorDomain", -3801, "declined"),
                  "permission: Screen Recording is not allowed for Beamora", 2},
        ErrorCase{makeError("OtherDomain", -3801, "declined elsewhere"),
                  "error: declined elsewhere", 1},
        ErrorCase{makeError("SCStreamErrorDomain", -3802, "stopped"), "error: stopped", 1},
        ErrorCase{makeError("SCStreamErrorDomain ", -3801, "near miss"), "error: near miss", 1},
        ErrorCase{makeError("d", 1, ""), "error: ", 1}),
    [](const auto& info) { return "case" + std::to_string(info.index); });

// Catches lost, repeated or reordered bytes when writes are interrupted or partial.
TEST(WriteAll, SurvivesInterruptedAndPartialWrites) {
    auto result = runInChild(
        [] {
            int fds[2];
            if (pipe(fds) != 0) {
                _exit(10);
            }
            dup2(fds[1], STDOUT_FILENO);
            close(fds[1]);
            struct sigaction action {};
            action.sa_handler = [](int) {};
            sigaction(SIGALRM, &action, nullptr); // no SA_RESTART: writes see EINTR
            itimerval timer{{0, 500}, {0, 500}};
            setitimer(ITIMER_REAL, &timer, nullptr);
            Bytes block(8 << 20);
            for (std::size_t i = 0; i < block.size(); ++i) {
                block[i] = static_cast<std::uint8_t>(i * 7 + i / 251);
            }
            std::atomic<bool> same{true};
            std::size_t got = 0;
            std::thread reader([&] {
                std::vector<std::uint8_t> buffer(3000);
                for (;;) {
                    ssize_t n = read(fds[0], buffer.data(), buffer.size());
                    if (n < 0 && errno == EINTR) {
                        continue;
                    }
                    if (n <= 0) {
                        return;
                    }
                    if (std::memcmp(buffer.data(), block.data() + got,
                                    static_cast<std::size_t>(n))) {
                        same = false;
                    }
                    got += static_cast<std::size_t>(n);
                    usleep(20);
                }
            });
            bool ok = writeAll(block);
            close(STDOUT_FILENO);
            reader.join();
            _exit(ok && same && got == block.size() ? 0 : 11);
        },
        std::chrono::seconds(60));
    EXPECT_EQ(result.status, 0);
}

// Catches a process killed by SIGPIPE, or a write reported as done, once the reader is gone.
TEST(WriteAll, ReportsAGoneReaderWithoutDying) {
    auto result = runInChild([] {
        int fds[2];
        if (pipe(fds) != 0) {
            _exit(10);
        }
        close(fds[0]);
        dup2(fds[1], STDOUT_FILENO);
        bool empty = writeAll(Bytes{});
        bool some = writeAll(Bytes(10, 1));
        _exit(empty && !some ? 0 : 11);
    });
    EXPECT_TRUE(result.exited);
    EXPECT_EQ(result.status, 0);
}

// Catches a torn frame: a failure while the writer is inside a frame that a slow reader has
// not yet taken ended the process with part of the frame on standard output.
TEST(WriteAll, AnEndingLetsThePieceUnderWayFinishAndWritesNoMore) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const std::size_t frame = 4 << 20; // far more than a pipe holds, so the write waits
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(fds[0]);
        dup2(fds[1], STDOUT_FILENO);
        close(fds[1]);
        std::thread([] {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            fail("error: the display went away");
        }).detach();
        Bytes block(frame, 7);
        for (;;) {
            if (!writeAll(block)) {
                exitProcess(statusDone);
            }
        }
    }
    close(fds[1]);
    // The reader pauses past the failure, then takes everything.
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    std::vector<char> buffer(1 << 16);
    std::size_t total = 0;
    for (ssize_t n; (n = read(fds[0], buffer.data(), buffer.size())) != 0;) {
        if (n < 0 && errno != EINTR) {
            break;
        }
        total += n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    close(fds[0]);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == statusFailure);
    EXPECT_GT(total, 0u);
    EXPECT_EQ(total % frame, 0u) << total << " bytes";
}

// Catches a line feed after the document or white space inside it.
TEST(PrintJSON, WritesCompactJsonWithNothingAfter) {
    auto result = runInChild([] {
        printJSON({{"a", nlohmann::json::array({1, 2})}, {"b", "x\ny"}, {"c", true}});
        exitProcess(0);
    });
    EXPECT_EQ(result.out, R"({"a":[1,2],"b":"x\ny","c":true})");
}

// Catches two exits racing: exactly one line and one of the statuses, nothing else.
TEST(ExitProcess, FirstOfManyRacingCallersWins) {
    for (int round = 0; round < 20; ++round) {
        auto result = runInChild([] {
            std::vector<std::thread> threads;
            std::atomic<bool> go{false};
            for (int i = 0; i < 8; ++i) {
                threads.emplace_back([i, &go] {
                    while (!go) {
                    }
                    fail("line " + std::to_string(i), i % 2 ? 3 : 1);
                });
            }
            go = true;
            for (auto& t : threads) {
                t.join();
            }
        });
        ASSERT_TRUE(result.exited);
        ASSERT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
        int winner = result.err[5] - '0';
        EXPECT_EQ(result.status, winner % 2 ? 3 : 1);
    }
}

// Catches a line that another thread's line can split.
TEST(Say, WritesEachLineWhole) {
    auto result = runInChild([] {
        int fds[2];
        if (pipe(fds) != 0) {
            _exit(10);
        }
        dup2(fds[1], STDERR_FILENO);
        close(fds[1]);
        std::string text;
        std::thread reader([&] {
            char buffer[4096];
            for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;) {
                text.append(buffer, static_cast<std::size_t>(n));
            }
        });
        std::vector<std::thread> threads;
        for (int i = 0; i < 4; ++i) {
            threads.emplace_back([i] {
                for (int n = 0; n < 200; ++n) {
                    say(std::string(1000, static_cast<char>('a' + i)));
                }
            });
        }
        for (auto& t : threads) {
            t.join();
        }
        close(STDERR_FILENO);
        reader.join();
        std::istringstream lines(text);
        int count = 0;
        for (std::string line; std::getline(lines, line); ++count) {
            if (line != std::string(1000, line[0])) {
                _exit(11);
            }
        }
        _exit(count == 800 ? 0 : 12);
    });
    EXPECT_EQ(result.status, 0);
}

} // namespace
} // namespace lumatap
