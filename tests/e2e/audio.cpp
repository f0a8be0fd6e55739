// `lumatap audio` against a real sound server (PulseAudio, or PipeWire, recorded natively or,
// with its socket out of sight, through its PulseAudio server) and X server that the tests
// start themselves: what plays is in the stream at its
// pitch and level, the host's own sound is not, whenever it starts and whatever client it
// plays through, the stream keeps time, and every way the job ends gives the right status.
// The picture commands never wait on a sound server.
#include "tests/support/pulse_server.h"
#include "tests/support/xserver.h"

#include <algorithm>
#include <cmath>
#include <csignal>
#include <filesystem>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <numbers>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/un.h>
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

// The level of the tone at `frequency` through most of the last second: the median over its
// tenths, so that a moment that a busy machine skipped does not count, while a wrong level
// or pitch throughout still shows.
double steadyAmplitude(const std::vector<double>& x, double frequency) {
    std::vector<double> tenths;
    for (std::size_t k = 10; k >= 1; --k) {
        std::vector<double> part(x.end() - static_cast<std::ptrdiff_t>(k * rate / 10),
                                 x.end() - static_cast<std::ptrdiff_t>((k - 1) * rate / 10));
        tenths.push_back(amplitude(part, frequency, rate / 10));
    }
    std::nth_element(tenths.begin(), tenths.begin() + 5, tenths.end());
    return tenths[5];
}

double rms(const std::vector<double>& x, std::size_t frames = rate) {
    double sum = 0;
    for (std::size_t k = x.size() - frames; k < x.size(); ++k) {
        sum += x[k] * x[k];
    }
    return std::sqrt(sum / static_cast<double>(frames));
}

// PipeWire's pulse server is what the tool uses where it cannot reach PipeWire's own socket.
enum class Backend { pulseAudio, pipeWire, pipeWirePulse };

std::unique_ptr<SoundServer> startSound(Backend backend) {
    if (backend != Backend::pulseAudio) {
        return std::make_unique<PipeWireServer>();
    }
    return std::make_unique<PulseServer>();
}

std::string nameOf(Backend backend) {
    switch (backend) {
    case Backend::pipeWire:
        return "PipeWire";
    case Backend::pipeWirePulse:
        return "PipeWirePulse";
    default:
        return "PulseAudio";
    }
}

std::string backendName(const testing::TestParamInfo<Backend>& info) {
    return nameOf(info.param);
}

struct Servers {
    XServer x{640, 480};
    Backend backend;
    std::unique_ptr<SoundServer> sound;
    SoundServer& pulse;

    explicit Servers(Backend backend = Backend::pulseAudio)
        : backend(backend), sound(startSound(backend)), pulse(*sound) {}

    ProcessOptions env() const {
        ProcessOptions options = pulse.env(x.env());
        options.captureStdout = false;
        if (backend == Backend::pipeWirePulse) {
            options.env["PIPEWIRE_RUNTIME_DIR"] = "/nonexistent/lumatap";
        }
        return options;
    }
};

class AudioOn : public testing::TestWithParam<Backend> {};

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
TEST_P(AudioOn, CapturesAToneThatAnotherProcessStartsPlaying) {
    Servers servers(GetParam());
    auto tool = startAudio(servers);
    Pcm before(readSeconds(*tool, 1.0));
    EXPECT_EQ(rms(before.left), 0.0) << "silence before anything plays";

    auto player = servers.pulse.play(440, 0.5, 30);
    Pcm during = onceHeard(*tool);
    for (const auto* side : {&during.left, &during.right}) {
        EXPECT_NEAR(steadyAmplitude(*side, 440), half, 0.05 * half);
        EXPECT_NEAR(rms(*side), half / std::sqrt(2.0), 0.05 * half);
        EXPECT_LT(amplitude(*side, 1000), 0.01 * half);
    }
    EXPECT_EQ(tool->err(), "ready\n");
}

// Catches a tone that already plays before the capture starts missing from the stream's start
// (a sink renders ahead, and a recording attached to a stream only gets its next block).
TEST_P(AudioOn, HearsAToneThatAlreadyPlaysFromTheStart) {
    Servers servers(GetParam());
    auto player = servers.pulse.play(440, 0.5, 30);
    for (int waited = 0;
         waited < 250 && servers.pulse.pactl({"list", "short", "sink-inputs"}).value_or("").empty();
         ++waited) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    // Time for the sink to have rendered ahead.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    auto tool = startAudio(servers);
    Pcm first(readSeconds(*tool, 0.1));
    // Every period of it, from the first (10 ms each).
    for (std::size_t period = 0; period < 10; ++period) {
        std::vector<double> part(first.left.begin(),
                                 first.left.begin() +
                                     static_cast<std::ptrdiff_t>((period + 1) * rate / 100));
        EXPECT_GT(rms(part, rate / 100), 0.5 * half / std::sqrt(2.0)) << "period " << period;
    }
}

// Catches the host's own sound leaking into the capture. The tool's parent is this test
// process, which plays 1000 Hz itself; another process plays 440 Hz. Started from a shell
// instead, the same tool has a parent that plays nothing and must hear both, which shows
// that it is the parent that is left out and not the test's tone that is lost.
TEST_P(AudioOn, LeavesOutTheSoundOfItsParent) {
    Servers servers(GetParam());
    auto other = servers.pulse.play(440, 0.5, 60);
    TonePlayer host(servers.pulse, 1000, 0.5);

    auto tool = startAudio(servers);
    Pcm heard = onceHeard(*tool, 1.5);
    EXPECT_NEAR(steadyAmplitude(heard.left, 440), half, 0.05 * half);
    EXPECT_LT(amplitude(heard.left, 1000), 0.01 * half);
    EXPECT_LT(amplitude(heard.right, 1000), 0.01 * half);

    auto unrelated = startAudio(servers, {"/bin/sh", "-c", "\"$0\" audio; exit $?", LUMATAP_BIN});
    Pcm both = onceHeard(*unrelated, 1.5);
    EXPECT_NEAR(steadyAmplitude(both.left, 440), half, 0.05 * half);
    EXPECT_NEAR(steadyAmplitude(both.left, 1000), half, 0.05 * half);
}

// A host that is a shell: it starts the tool, and once the capture is ready runs `then` with
// the command line of a player of a 1000 Hz tone as its arguments. The player's output goes
// elsewhere, so that it does not hold the host's pipes open after the host.
std::unique_ptr<Process> hostThatPlays(const Servers& servers, const std::string& then) {
    std::vector<std::string> argv{"/bin/sh", "-c", "\"$0\" audio </dev/null & read go; " + then,
                                  LUMATAP_BIN};
    auto player = servers.pulse.playCommand(1000, 0.5, 60);
    argv.insert(argv.end(), player.begin(), player.end());
    ProcessOptions options = servers.env();
    options.pipeStdin = true;
    auto host = std::make_unique<Process>(argv, options);
    EXPECT_TRUE(host->waitForErr("ready\n", std::chrono::seconds(10))) << host->err();
    host->writeStdin("go\n");
    return host;
}

// Catches the sound of a helper process that the host spawns (as Chromium and Electron spawn
// their audio service) in the capture, while another program's sound is still heard.
TEST_P(AudioOn, LeavesOutAPlayerThatTheHostSpawns) {
    Servers servers(GetParam());
    auto other = servers.pulse.play(440, 0.5, 60);
    auto host = hostThatPlays(servers, "\"$@\" >/dev/null 2>&1; wait");
    // Long enough for the helper's stream to have joined, had it been taken.
    Pcm heard = onceHeard(*host, 1.5);
    for (const auto* side : {&heard.left, &heard.right}) {
        EXPECT_NEAR(steadyAmplitude(*side, 440), half, 0.05 * half);
        EXPECT_LT(amplitude(*side, 1000), 0.01 * half);
    }
}

// Catches a program that the host starts detached (a double fork hands it to another parent)
// taken for the host's and left out.
TEST_P(AudioOn, RecordsAPlayerThatTheHostStartsDetached) {
    Servers servers(GetParam());
    auto host = hostThatPlays(servers, "(\"$@\" >/dev/null 2>&1 &); wait");
    Pcm heard = onceHeard(*host, 1.0);
    EXPECT_NEAR(steadyAmplitude(heard.left, 1000), half, 0.05 * half);
    EXPECT_NEAR(steadyAmplitude(heard.right, 1000), half, 0.05 * half);
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
    // Only for this test: a test process that stays a subreaper adopts the detached players
    // of the tests after it, which then count as the host's and are left out.
    struct NoLongerSubreaper {
        ~NoLongerSubreaper() { prctl(PR_SET_CHILD_SUBREAPER, 0); }
    } restore;
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
TEST_P(AudioOn, FailsWithAnErrorLineWhenTheServerGoes) {
    Servers servers(GetParam());
    auto tool = startAudio(servers);
    readSeconds(*tool, 0.2);
    servers.pulse.kill();
    EXPECT_EQ(tool->wait(std::chrono::seconds(5)), 1);
    tool->drain();
    EXPECT_EQ(tool->err().rfind("ready\nerror: ", 0), 0u) << tool->err();
}

// Catches libpulse's or libpipewire's own lines (PULSE_LOG and PIPEWIRE_DEBUG ask for every
// debug line) mixed into ours.
TEST_P(AudioOn, WritesOnlyItsOwnLinesWhateverPulseLogSays) {
    Servers servers(GetParam());
    ProcessOptions options = servers.env();
    options.env["PULSE_LOG"] = "4";
    options.env["PIPEWIRE_DEBUG"] = "5";
    Process tool({LUMATAP_BIN, "audio"}, options);
    ASSERT_TRUE(tool.waitForErr("ready\n", std::chrono::seconds(10))) << tool.err();
    auto player = servers.pulse.play(440, 0.5, 30);
    onceHeard(tool);
    tool.closeStdout();
    EXPECT_EQ(tool.wait(std::chrono::seconds(3)), 0);
    tool.drain();
    EXPECT_EQ(tool.err(), "ready\n");
}

INSTANTIATE_TEST_SUITE_P(Servers, AudioOn,
                         testing::Values(Backend::pulseAudio, Backend::pipeWire,
                                         Backend::pipeWirePulse),
                         backendName);

struct LateHost {
    Backend backend;
    Player player;
};

class LateHostOn : public testing::TestWithParam<LateHost> {};

// Catches the sound of a host that owns no window and starts playing only after the capture
// is ready, through PulseAudio or as a native PipeWire client whose stream names no process.
// The host is the shell that started the tool and then becomes the player (exec keeps its
// pid); another process plays a tone that must be heard throughout.
TEST_P(LateHostOn, LeavesOutAWindowlessHostThatStartsPlayingAfterReady) {
    Servers servers(GetParam().backend);
    auto other = servers.pulse.play(440, 0.5, 60);
    std::vector<std::string> argv{"/bin/sh", "-c", "\"$0\" audio </dev/null & read go; exec \"$@\"",
                                  LUMATAP_BIN};
    auto host = servers.pulse.playCommand(1000, 0.5, 60, GetParam().player);
    argv.insert(argv.end(), host.begin(), host.end());
    ProcessOptions options = servers.env();
    options.pipeStdin = true;
    Process shell(argv, options);
    ASSERT_TRUE(shell.waitForErr("ready\n", std::chrono::seconds(10))) << shell.err();
    Pcm early = onceHeard(shell);
    EXPECT_NEAR(steadyAmplitude(early.left, 440), half, 0.05 * half);

    shell.writeStdin("go\n");
    // Long enough for the host's stream to have joined, had it been taken.
    Pcm late = onceHeard(shell, 1.5);
    for (const auto* side : {&late.left, &late.right}) {
        EXPECT_NEAR(steadyAmplitude(*side, 440), half, 0.05 * half);
        EXPECT_LT(amplitude(*side, 1000), 0.01 * half);
    }
    ASSERT_TRUE(shell.running()) << "the host stopped playing: " << shell.err();
}

// The same host started from a shell that is not the tool's parent is heard: it is the
// parent that is left out, and a native PipeWire player is captured at all.
TEST_P(LateHostOn, HearsTheSamePlayerWhenItIsNotTheParent) {
    Servers servers(GetParam().backend);
    auto tool = startAudio(servers);
    auto player = servers.pulse.play(1000, 0.5, 60, GetParam().player);
    Pcm heard = onceHeard(*tool, 1.0);
    EXPECT_NEAR(steadyAmplitude(heard.left, 1000), half, 0.05 * half);
    EXPECT_NEAR(steadyAmplitude(heard.right, 1000), half, 0.05 * half);
}

INSTANTIATE_TEST_SUITE_P(Servers, LateHostOn,
                         testing::Values(LateHost{Backend::pulseAudio, Player::pacat},
                                         LateHost{Backend::pipeWire, Player::pacat},
                                         LateHost{Backend::pipeWire, Player::pwPlay},
                                         LateHost{Backend::pipeWirePulse, Player::pacat},
                                         LateHost{Backend::pipeWirePulse, Player::pwPlay}),
                         [](const testing::TestParamInfo<LateHost>& info) {
                             return nameOf(info.param.backend) +
                                    (info.param.player == Player::pwPlay ? "PwPlay" : "Pacat");
                         });

// A sound server that takes connections and never answers: a listening socket that nobody
// accepts or reads.
class SilentServer {
  public:
    SilentServer() {
        char pattern[] = "/tmp/lumatap-silent-XXXXXX";
        dir_ = mkdtemp(pattern);
        path_ = dir_ + "/native";
        fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        path_.copy(address.sun_path, sizeof(address.sun_path) - 1);
        if (bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
            listen(fd_, 16) != 0) {
            throw std::runtime_error("no listening socket");
        }
    }
    ~SilentServer() {
        close(fd_);
        std::filesystem::remove_all(dir_);
    }
    std::string server() const { return "unix:" + path_; }
    // Connections that came in, taken off the queue.
    int connections() {
        int count = 0;
        for (int client; (client = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) {
            close(client);
            ++count;
        }
        return count;
    }

  private:
    std::string dir_;
    std::string path_;
    int fd_ = -1;
};

// Catches a picture command that asks the sound server anything, and so hangs on one that
// does not answer, or lets it write to standard error.
TEST(PicturesWithAHungSoundServer, NeverContactIt) {
    XServer x(640, 480);
    SilentServer silent;
    ProcessOptions options = x.env();
    options.env["PULSE_SERVER"] = silent.server();
    auto list = run({LUMATAP_BIN, "list"}, options, std::chrono::seconds(20));
    EXPECT_EQ(list.status, 0);
    EXPECT_EQ(list.err, "");
    auto display = nlohmann::json::parse(list.out)["displays"][0]["id"].get<std::uint32_t>();
    auto thumb = run({LUMATAP_BIN, "thumb", "display", std::to_string(display), "64", "48"},
                     options, std::chrono::seconds(20));
    EXPECT_EQ(thumb.status, 0);
    EXPECT_EQ(thumb.err, "");
    EXPECT_EQ(silent.connections(), 0);
}

// Catches a capture that waits forever on a server that takes the connection and never
// answers.
TEST(AudioWithAHungSoundServer, FailsWithAnErrorLine) {
    XServer x(640, 480);
    SilentServer silent;
    ProcessOptions options = x.env();
    options.env["PULSE_SERVER"] = silent.server();
    auto result = run({LUMATAP_BIN, "audio"}, options, std::chrono::seconds(30));
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err.rfind("error: ", 0), 0u) << result.err;
    EXPECT_EQ(result.err.find('\n'), result.err.size() - 1) << result.err;
}

} // namespace
} // namespace lumatap::test
