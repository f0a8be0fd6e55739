#include "tests/support/pulse_server.h"

#include <cmath>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <pulse/error.h>
#include <pulse/simple.h>
#include <stdexcept>
#include <vector>

namespace lumatap::test {
namespace {

constexpr int rate = 48000;

std::vector<float> tone(double frequency, double amplitude, std::size_t frames, std::size_t from) {
    std::vector<float> samples(2 * frames);
    for (std::size_t i = 0; i < frames; ++i) {
        auto v = static_cast<float>(amplitude * std::sin(2 * std::numbers::pi * frequency *
                                                         static_cast<double>(from + i) / rate));
        samples[2 * i] = v;
        samples[2 * i + 1] = v;
    }
    return samples;
}

} // namespace

PulseServer::PulseServer() {
    char pattern[] = "/tmp/lumatap-pulse-XXXXXX";
    if (!mkdtemp(pattern)) {
        throw std::runtime_error("no directory for the sound server");
    }
    dir_ = pattern;
    server_ = "unix:" + dir_ + "/native";
    // Everything the daemon keeps lives in the test's directory, so no sound server of the
    // machine or the user is touched. -n loads no default modules: no D-Bus, no udev, no
    // hardware; the null sink is the only, and so the default, output.
    ProcessOptions options;
    options.env = {{"HOME", dir_},
                   {"XDG_RUNTIME_DIR", dir_},
                   {"XDG_CONFIG_HOME", dir_},
                   {"PULSE_RUNTIME_PATH", dir_},
                   {"PULSE_STATE_PATH", dir_}};
    options.unset = {"DISPLAY", "DBUS_SESSION_BUS_ADDRESS", "PULSE_SERVER"};
    daemon_ = std::make_unique<Process>(
        std::vector<std::string>{
            "/usr/bin/pulseaudio", "--daemonize=no", "-n", "--system=no", "--use-pid-file=no",
            "--exit-idle-time=-1", "--realtime=no", "--high-priority=no", "--log-target=stderr",
            "--log-level=error", "-F", "/dev/null",
            "--load=module-null-sink sink_name=lumatap_null rate=48000",
            "--load=module-native-protocol-unix auth-anonymous=1 socket=" + dir_ + "/native"},
        options);
    for (int wait = 0; wait < 500 && daemon_->running(); ++wait) {
        if (std::filesystem::exists(dir_ + "/native") && pactl({"info"})) {
            // This process plays tones through libpulse too; its cookie stays here as well.
            setenv("PULSE_COOKIE", (dir_ + "/cookie").c_str(), 1);
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::string err = daemon_->err();
    daemon_.reset();
    std::filesystem::remove_all(dir_);
    throw std::runtime_error("could not start pulseaudio: " + err);
}

PulseServer::~PulseServer() {
    if (daemon_) {
        daemon_->kill(SIGTERM);
        if (!daemon_->wait(std::chrono::seconds(5))) {
            daemon_->kill(SIGKILL);
            daemon_->wait(std::chrono::seconds(5));
        }
    }
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

void PulseServer::kill() {
    daemon_->kill(SIGKILL);
    daemon_->wait(std::chrono::seconds(5));
}

ProcessOptions PulseServer::env(ProcessOptions options) const {
    options.env["PULSE_SERVER"] = server_;
    options.env["PULSE_COOKIE"] = dir_ + "/cookie";
    return options;
}

std::optional<std::string> PulseServer::pactl(const std::vector<std::string>& args) const {
    std::vector<std::string> argv{"/usr/bin/pactl"};
    argv.insert(argv.end(), args.begin(), args.end());
    auto result = run(argv, env(), std::chrono::seconds(10));
    if (!result.status || *result.status != 0) {
        return std::nullopt;
    }
    return result.out;
}

std::unique_ptr<Process> PulseServer::play(double frequency, double amplitude,
                                           double seconds) const {
    static int count = 0;
    std::string path = dir_ + "/tone" + std::to_string(count++) + ".raw";
    auto samples = tone(frequency, amplitude, static_cast<std::size_t>(seconds * rate), 0);
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(samples.data()),
               static_cast<std::streamsize>(samples.size() * sizeof(float)));
    return std::make_unique<Process>(std::vector<std::string>{"/usr/bin/pacat", "--playback",
                                                              "--raw", "--format=float32le",
                                                              "--rate=48000", "--channels=2", path},
                                     env());
}

TonePlayer::TonePlayer(const PulseServer& server, double frequency, double amplitude) {
    pa_sample_spec sampleFormat{PA_SAMPLE_FLOAT32LE, rate, 2};
    int error = 0;
    stream_ = pa_simple_new(server.server().c_str(), "lumatap test", PA_STREAM_PLAYBACK, nullptr,
                            "host tone", &sampleFormat, nullptr, nullptr, &error);
    if (!stream_) {
        throw std::runtime_error(std::string("cannot play: ") + pa_strerror(error));
    }
    worker_ = std::thread([this, frequency, amplitude] {
        std::size_t played = 0;
        while (!stop_) {
            auto chunk = tone(frequency, amplitude, rate / 100, played);
            played += rate / 100;
            if (pa_simple_write(stream_, chunk.data(), chunk.size() * sizeof(float), nullptr) < 0) {
                return;
            }
        }
    });
}

TonePlayer::~TonePlayer() {
    stop_ = true;
    worker_.join();
    pa_simple_free(stream_);
}

} // namespace lumatap::test
