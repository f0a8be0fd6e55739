// Private sound servers, started and stopped by a test, whose default output is a null sink:
// a PulseAudio daemon, or PipeWire with its session manager and its PulseAudio server. Tones
// play into them from processes of their own or from the test process itself.
#pragma once

#include "tests/support/process.h"

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

struct pa_simple;

namespace lumatap::test {

// The programs that play a tone file: a PulseAudio client, or a native PipeWire one.
enum class Player { pacat, pwPlay };

// A program started detached, as a grandchild whose parent has ended: no descendant of the
// test process, so no part of a host that the test process plays. Stopped when destroyed.
class DetachedProcess {
  public:
    DetachedProcess(const std::vector<std::string>& argv, const ProcessOptions& options);
    ~DetachedProcess();
    DetachedProcess(const DetachedProcess&) = delete;
    DetachedProcess& operator=(const DetachedProcess&) = delete;

  private:
    int pidfd_ = -1; // stays with the process, whatever its id is given to later
};

class SoundServer {
  public:
    virtual ~SoundServer();
    SoundServer(const SoundServer&) = delete;
    SoundServer& operator=(const SoundServer&) = delete;

    // The server string PulseAudio clients connect with ("unix:/tmp/.../native").
    const std::string& server() const { return server_; }
    // Points a child process at this server (and nowhere else), on top of `options`.
    virtual ProcessOptions env(ProcessOptions options = {}) const;
    // Runs pactl against this server; its standard output, or none when it failed.
    std::optional<std::string> pactl(const std::vector<std::string>& args) const;
    // The command line that plays a sine tone, the same on both channels, for `seconds`.
    std::vector<std::string> playCommand(double frequency, double amplitude, double seconds,
                                         Player player = Player::pacat) const;
    // Plays such a tone from a process of its own, detached from the test process.
    std::unique_ptr<DetachedProcess> play(double frequency, double amplitude, double seconds,
                                          Player player = Player::pacat) const;
    // Stops the server that clients talk to at once, as a crash would.
    virtual void kill() = 0;

  protected:
    SoundServer();
    // Waits until the server answers and its null sink is the default output; else throws
    // with what `daemon` said.
    void awaitReady(Process& daemon);

    std::string dir_;
    std::string server_;
};

class PulseServer : public SoundServer {
  public:
    PulseServer();
    ~PulseServer() override;
    void kill() override;

  private:
    std::unique_ptr<Process> daemon_;
};

// PipeWire as a desktop runs it: a D-Bus session bus, pipewire, wireplumber and
// pipewire-pulse, all of their own, with no hardware and no system bus.
class PipeWireServer : public SoundServer {
  public:
    PipeWireServer();
    ~PipeWireServer() override;
    ProcessOptions env(ProcessOptions options = {}) const override;
    void kill() override;

  private:
    ProcessOptions daemonEnv() const;
    void stop();

    std::unique_ptr<Process> bus_;
    std::unique_ptr<Process> pipewire_;
    std::unique_ptr<Process> wireplumber_;
    std::unique_ptr<Process> pulse_;
};

// Plays a sine tone from this very process through libpulse until destroyed, so that the
// process shows up as a playing application.
class TonePlayer {
  public:
    TonePlayer(const SoundServer& server, double frequency, double amplitude);
    ~TonePlayer();
    TonePlayer(const TonePlayer&) = delete;
    TonePlayer& operator=(const TonePlayer&) = delete;

  private:
    ::pa_simple* stream_ = nullptr;
    std::atomic<bool> stop_{false};
    std::thread worker_;
};

} // namespace lumatap::test
