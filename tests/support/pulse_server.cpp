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
#include <sys/syscall.h>
#include <unistd.h>
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

std::string makeDirectory(const std::string& pattern) {
    std::string path = pattern;
    if (!mkdtemp(path.data())) {
        throw std::runtime_error("no directory for the sound server");
    }
    return path;
}

void writeFile(const std::string& path, const std::string& text) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path) << text;
}

// A WAV file of float samples, which every player of PipeWire's reads.
void writeWav(const std::string& path, const std::vector<float>& samples) {
    auto bytes = static_cast<std::uint32_t>(samples.size() * sizeof(float));
    std::ofstream out(path, std::ios::binary);
    auto u32 = [&](std::uint32_t v) { out.write(reinterpret_cast<const char*>(&v), 4); };
    auto u16 = [&](std::uint16_t v) { out.write(reinterpret_cast<const char*>(&v), 2); };
    out.write("RIFF", 4);
    u32(36 + bytes);
    out.write("WAVEfmt ", 8);
    u32(16);
    u16(3); // IEEE float
    u16(2);
    u32(rate);
    u32(rate * 2 * sizeof(float));
    u16(2 * sizeof(float));
    u16(32);
    out.write("data", 4);
    u32(bytes);
    out.write(reinterpret_cast<const char*>(samples.data()), bytes);
}

// Stops a daemon politely, then for good.
void stopDaemon(std::unique_ptr<Process>& daemon) {
    if (!daemon) {
        return;
    }
    daemon->kill(SIGTERM);
    if (!daemon->wait(std::chrono::seconds(5))) {
        daemon->kill(SIGKILL);
        daemon->wait(std::chrono::seconds(5));
    }
    daemon.reset();
}

} // namespace

SoundServer::SoundServer() : dir_(makeDirectory("/tmp/lumatap-sound-XXXXXX")) {
}

SoundServer::~SoundServer() {
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

ProcessOptions SoundServer::env(ProcessOptions options) const {
    options.env["PULSE_SERVER"] = server_;
    options.env["PULSE_COOKIE"] = dir_ + "/cookie";
    return options;
}

std::optional<std::string> SoundServer::pactl(const std::vector<std::string>& args) const {
    std::vector<std::string> argv{"/usr/bin/pactl"};
    argv.insert(argv.end(), args.begin(), args.end());
    auto result = run(argv, env(), std::chrono::seconds(10));
    if (!result.status || *result.status != 0) {
        return std::nullopt;
    }
    return result.out;
}

void SoundServer::awaitReady(Process& daemon) {
    for (int wait = 0; wait < 500 && daemon.running(); ++wait) {
        auto info = pactl({"info"});
        if (info && info->find("Default Sink: lumatap_null\n") != std::string::npos) {
            // This process plays tones through libpulse too.
            setenv("PULSE_COOKIE", (dir_ + "/cookie").c_str(), 1);
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    throw std::runtime_error("the sound server did not come up with its null sink as default: " +
                             daemon.err());
}

std::vector<std::string> SoundServer::playCommand(double frequency, double amplitude,
                                                  double seconds, Player player) const {
    static std::atomic<int> count = 0;
    auto samples = tone(frequency, amplitude, static_cast<std::size_t>(seconds * rate), 0);
    std::string path = dir_ + "/tone" + std::to_string(count++);
    if (player == Player::pwPlay) {
        path += ".wav";
        writeWav(path, samples);
        // Named outright, so that the player finds the server whatever its environment.
        return {"/usr/bin/pw-play", "--remote", dir_ + "/run/pipewire-0", path};
    }
    path += ".raw";
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(samples.data()),
               static_cast<std::streamsize>(samples.size() * sizeof(float)));
    return {"/usr/bin/pacat", "--playback",   "--raw", "--format=float32le",
            "--rate=48000",   "--channels=2", path};
}

std::unique_ptr<DetachedProcess> SoundServer::play(double frequency, double amplitude,
                                                   double seconds, Player player) const {
    return std::make_unique<DetachedProcess>(playCommand(frequency, amplitude, seconds, player),
                                             env());
}

DetachedProcess::DetachedProcess(const std::vector<std::string>& argv,
                                 const ProcessOptions& options) {
    // A shell starts the program in the background, says its id and ends, so that the
    // program is handed to another parent.
    std::vector<std::string> shell{"/bin/sh", "-c", "\"$@\" </dev/null >/dev/null 2>&1 & echo $!",
                                   "sh"};
    shell.insert(shell.end(), argv.begin(), argv.end());
    auto started = run(shell, options, std::chrono::seconds(10));
    if (started.status != 0) {
        throw std::runtime_error("cannot start " + argv.front() + ": " + started.err);
    }
    pidfd_ = static_cast<int>(syscall(SYS_pidfd_open, std::stoi(started.out), 0));
}

DetachedProcess::~DetachedProcess() {
    if (pidfd_ >= 0) {
        syscall(SYS_pidfd_send_signal, pidfd_, SIGKILL, nullptr, 0);
        close(pidfd_);
    }
}

PulseServer::PulseServer() {
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
    try {
        awaitReady(*daemon_);
    } catch (...) {
        daemon_.reset();
        throw;
    }
}

PulseServer::~PulseServer() {
    stopDaemon(daemon_);
}

void PulseServer::kill() {
    daemon_->kill(SIGKILL);
    daemon_->wait(std::chrono::seconds(5));
}

PipeWireServer::PipeWireServer() {
    std::string run = dir_ + "/run";
    std::filesystem::create_directories(run);
    std::filesystem::permissions(run, std::filesystem::perms::owner_all);
    server_ = "unix:" + run + "/pulse/native";
    // The null sink, made by pipewire itself, is the only output and so the default.
    writeFile(dir_ + "/config/pipewire/pipewire.conf.d/lumatap.conf", R"(
context.objects = [
  { factory = adapter
    args = {
      factory.name = support.null-audio-sink
      node.name = lumatap_null
      node.description = "lumatap null"
      media.class = Audio/Sink
      audio.position = [ FL FR ]
      audio.rate = 48000
    }
  }
]
)");
    // No hardware of the machine is opened, nor Bluetooth asked for.
    writeFile(dir_ + "/config/wireplumber/main.lua.d/51-lumatap.lua",
              "alsa_monitor.enabled = false\nv4l2_monitor.enabled = false\n"
              "libcamera_monitor.enabled = false\n");
    writeFile(dir_ + "/config/wireplumber/bluetooth.lua.d/51-lumatap.lua",
              "bluez_monitor.enabled = false\n");

    ProcessOptions options = daemonEnv();
    bus_ = std::make_unique<Process>(
        std::vector<std::string>{"/usr/bin/dbus-daemon", "--session", "--nofork", "--nopidfile",
                                 "--address=unix:path=" + run + "/bus"},
        options);
    for (int wait = 0; wait < 250 && !std::filesystem::exists(run + "/bus"); ++wait) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    pipewire_ = std::make_unique<Process>(std::vector<std::string>{"/usr/bin/pipewire"}, options);
    for (int wait = 0; wait < 250 && !std::filesystem::exists(run + "/pipewire-0"); ++wait) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    wireplumber_ =
        std::make_unique<Process>(std::vector<std::string>{"/usr/bin/wireplumber"}, options);
    pulse_ =
        std::make_unique<Process>(std::vector<std::string>{"/usr/bin/pipewire-pulse"}, options);
    try {
        awaitReady(*pulse_);
        if (!wireplumber_->running() || !pipewire_->running()) {
            throw std::runtime_error("");
        }
    } catch (const std::exception& e) {
        std::string said = std::string(e.what()) + " (dbus-daemon: " + bus_->err() +
                           "; pipewire: " + pipewire_->err() +
                           "; wireplumber: " + wireplumber_->err() + ")";
        stop();
        throw std::runtime_error("could not start PipeWire: " + said);
    }
}

PipeWireServer::~PipeWireServer() {
    stop();
}

void PipeWireServer::stop() {
    stopDaemon(pulse_);
    stopDaemon(wireplumber_);
    stopDaemon(pipewire_);
    stopDaemon(bus_);
}

// Every daemon of its own, with the machine's and the user's servers out of reach.
ProcessOptions PipeWireServer::daemonEnv() const {
    ProcessOptions options;
    options.env = {{"HOME", dir_},
                   {"XDG_RUNTIME_DIR", dir_ + "/run"},
                   {"PIPEWIRE_RUNTIME_DIR", dir_ + "/run"},
                   {"XDG_CONFIG_HOME", dir_ + "/config"},
                   {"XDG_STATE_HOME", dir_ + "/state"},
                   {"XDG_DATA_HOME", dir_ + "/data"},
                   {"DBUS_SESSION_BUS_ADDRESS", "unix:path=" + dir_ + "/run/bus"},
                   {"DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + dir_ + "/run/no-system-bus"}};
    options.unset = {"DISPLAY", "WAYLAND_DISPLAY", "PULSE_SERVER", "PIPEWIRE_REMOTE"};
    return options;
}

ProcessOptions PipeWireServer::env(ProcessOptions options) const {
    options = SoundServer::env(std::move(options));
    options.env["PIPEWIRE_RUNTIME_DIR"] = dir_ + "/run";
    options.unset.push_back("PIPEWIRE_REMOTE");
    return options;
}

// Clients talk to pipewire itself or to its pulse server: both go.
void PipeWireServer::kill() {
    for (auto* daemon : {&pulse_, &pipewire_}) {
        (*daemon)->kill(SIGKILL);
        (*daemon)->wait(std::chrono::seconds(5));
    }
}

TonePlayer::TonePlayer(const SoundServer& server, double frequency, double amplitude) {
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
