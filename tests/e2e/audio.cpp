// `lumatap audio` against a real sound server and X server that the tests start themselves:
// what plays is in the stream at its pitch and level, the host's own sound is not, the
// stream keeps time, and every way the job ends gives the right status.
#include "tests/support/pulse_server.h"
#include "tests/support/xserver.h"

#include <cmath>
#include <csignal>
#include <gtest/gtest.h>
#include <numbers>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace lumatap::test {
namespace {

constexpr int rate = 48000;
constexpr std::size_t bytesPerSecond = 192000;
constexpr double half = 0.5 * 32767; // the peak of a tone played at amplitude 0.5

struct Pcm {
    std::vector<double> left;
    std::vector<double> right;

    explicit Pcm(const std::string& bytes) {
        for (std::size_t k = 0; k + 3 < bytes.size(); k += 4) {
            auto sample = [&](std::size_t at) {
                return static_cast<double>(
                    static_cast<std::int16_t>(static_cast<std::uint8_t>(bytes[at]) |
                                              (static_cast<std::uint8_t>(bytes[at + 1]) << 8)));
            };
            left.push_back(sample(k));
            right.push_back(sample(k + 2));
        }
    }
};

// The peak amplitude of the sine at `frequency` in the last `frames` samples (Goertzel).
double amplitude(const std::vector<double>& x, double frequency, std::size_t frames = rate) {
    double w = 2 * std::numbers::pi * frequency / rate;
    double c = 2 * std::cos(w);
    double s1 = 0;
    double s2 = 0;
    for (std::size_t k = x.size() - frames; k < x.size(); ++k) {
        double s = x[k] + c * s1 - s2;
        s2 = s1;
        s1 = s;
    }
    double power = s1 * s1 + s2 * s2 - c * s1 * s2;
    return 2 * std::sqrt(std::max(power, 0.0)) / static_cast<double>(frames);
}

double rms(const std::vector<double>& x, std::size_t frames = rate) {
    double sum = 0;
    for (std::size_t k = x.size() - frames; k < x.size(); ++k) {
        sum += x[k] * x[k];
    }
    return std::sqrt(sum / static_cast<double>(frames));
}

struct Servers {
    XServer x{640, 480};
    PulseServer pulse;

    ProcessOptions env() const {
        ProcessOptions options = pulse.env(x.env());
        options.captureStdout = false;
        return options;
    }
};

std::unique_ptr<Process> startAudio(const Servers& servers,
                                    std::vector<std::string> argv = {LUMATAP_BIN, "audio"}) {
    auto tool = std::make_unique<Process>(argv, servers.env());
    EXPECT_TRUE(tool->waitForErr("ready\n", std::chrono::seconds(10))) << tool->err();
    return tool;
}

std::string readSeconds(Process& tool, double seconds) {
    auto size = static_cast<std::size_t>(seconds * bytesPerSecond);
    std::string bytes =
        tool.read(size, std::chrono::milliseconds(static_cast<int>(seconds * 1000) + 5000));
    EXPECT_EQ(bytes.size(), size);
    return bytes;
}

// Streams join after the sound server's own start-up latency, which grows on a busy machine:
// waits for the first sound, lets `settle` more seconds pass for streams that join later, and
// returns what follows, whose last second the checks measure.
Pcm onceHeard(Process& tool, double settle = 0) {
    for (int waited = 0; waited < 60; ++waited) {
        if (rms(Pcm(readSeconds(tool, 0.1)).left, rate / 10) > 0) {
            break;
        }
    }
    if (settle > 0) {
        readSeconds(tool, settle);
    }
    return Pcm(readSeconds(tool, 1.5));
}

// Catches sound that is not captured, captured at a wrong rate or level, or a stream that
// starts during the capture and is never picked up.
TEST(AudioOnPulse, CapturesAToneThatAnotherProcessStartsPlaying) {
    Servers servers;
    auto tool = startAudio(servers);
    Pcm before(readSeconds(*tool, 1.0));
    EXPECT_EQ(rms(before.left), 0.0) << "silence before anything plays";

    auto player = servers.pulse.play(440, 0.5, 30);
    Pcm during = onceHeard(*tool);
    for (const auto* side : {&during.left, &during.right}) {
        EXPECT_NEAR(amplitude(*side, 440), half, 0.05 * half);
        EXPECT_NEAR(rms(*side), half / std::sqrt(2.0), 0.05 * half);
        EXPECT_LT(amplitude(*side, 1000), 0.01 * half);
    }
    EXPECT_EQ(tool->err(), "ready\n");
}

// Catches the host's own sound leaking into the capture. The tool's parent is this test
// process, which plays 1000 Hz itself; another process plays 440 Hz. Started from a shell
// instead, the same tool has a parent that plays nothing and must hear both, which shows
// that it is the parent that is left out and not the test's tone that is lost.
TEST(AudioOnPulse, LeavesOutTheSoundOfItsParent) {
    Servers servers;
    auto other = servers.pulse.play(440, 0.5, 60);
    TonePlayer host(servers.pulse, 1000, 0.5);

    auto tool = startAudio(servers);
    Pcm heard = onceHeard(*tool, 1.5);
    EXPECT_NEAR(amplitude(heard.left, 440), half, 0.05 * half);
    EXPECT_LT(amplitude(heard.left, 1000), 0.01 * half);
    EXPECT_LT(amplitude(heard.right, 1000), 0.01 * half);

    auto unrelated = startAudio(servers, {"/bin/sh", "-c", "\"$0\" audio; exit $?", LUMATAP_BIN});
    Pcm both = onceHeard(*unrelated, 1.5);
    EXPECT_NEAR(amplitude(both.left, 440), half, 0.05 * half);
    EXPECT_NEAR(amplitude(both.left, 1000), half, 0.05 * half);
}

// Catches a stream that runs slow or fast, or stalls while nothing plays: the host's clock
// is the count of bytes.
TEST(AudioOnPulse, RunsAtTheRealRateSilenceIncluded) {
    Servers servers;
    auto tool = startAudio(servers);
    readSeconds(*tool, 0.5);
    auto start = std::chrono::steady_clock::now();
    std::string bytes = tool->read(bytesPerSecond * 20, std::chrono::seconds(10));
    std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
    double perSecond = static_cast<double>(bytes.size()) / elapsed.count();
    EXPECT_NEAR(perSecond, bytesPerSecond, 0.01 * bytesPerSecond);
    EXPECT_EQ(bytes.find_first_not_of('\0'), std::string::npos) << "nothing plays: silence";
    EXPECT_EQ(bytes.size() % 4, 0u);
}

// Catches a tool that goes on, complains, or fails when its reader goes away.
TEST(AudioOnPulse, EndsQuietlyWhenTheReaderGoes) {
    Servers servers;
    auto tool = startAudio(servers);
    readSeconds(*tool, 0.2);
    tool->closeStdout();
    EXPECT_EQ(tool->wait(std::chrono::seconds(3)), 0);
    tool->drain();
    EXPECT_EQ(tool->err(), "ready\n");
}

// Catches a tool that outlives its host. The host is a shell that this test kills; the
// test adopts the orphan, to see how it ends.
TEST(AudioOnPulse, EndsWithinASecondOrSoWhenTheParentGoes) {
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    Servers servers;
    auto shell =
        startAudio(servers, {"/bin/sh", "-c", "\"$0\" audio & echo $! >&2; wait", LUMATAP_BIN});
    pid_t pid = std::stoi(shell->err());
    shell->kill(SIGKILL);
    ASSERT_TRUE(shell->wait(std::chrono::seconds(5)));
    auto killed = std::chrono::steady_clock::now();
    int status = -1;
    while (waitpid(pid, &status, WNOHANG) != pid &&
           std::chrono::steady_clock::now() - killed < std::chrono::seconds(5)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - killed;
    ASSERT_TRUE(WIFEXITED(status)) << "still running after " << took.count() << " s";
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_LT(took.count(), 2.0);
}

// Catches a capture that starts, hangs or starts a server of its own when none is there.
TEST(AudioOnPulse, WithoutASoundServerFailsWithAnErrorLine) {
    XServer x(640, 480);
    ProcessOptions options = x.env();
    options.env["PULSE_SERVER"] = "unix:/nonexistent/lumatap/native";
    auto result = run({LUMATAP_BIN, "audio"}, options, std::chrono::seconds(10));
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err.rfind("error: ", 0), 0u) << result.err;
    EXPECT_EQ(result.err.find('\n'), result.err.size() - 1) << result.err;
}

// Catches a capture that stalls or goes on in silence when the server goes away under it.
TEST(AudioOnPulse, FailsWithAnErrorLineWhenTheServerGoes) {
    Servers servers;
    auto tool = startAudio(servers);
    readSeconds(*tool, 0.2);
    servers.pulse.kill();
    EXPECT_EQ(tool->wait(std::chrono::seconds(5)), 1);
    tool->drain();
    EXPECT_EQ(tool->err().rfind("ready\nerror: ", 0), 0u) << tool->err();
}

} // namespace
} // namespace lumatap::test
