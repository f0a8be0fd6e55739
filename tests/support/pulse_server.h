// A private PulseAudio daemon whose default output is a null sink, started and stopped by a
// test, and tone players that play into it.
#pragma once

#include "tests/support/process.h"

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <thread>

struct pa_simple;

namespace lumatap::test {

class PulseServer {
  public:
    PulseServer();
    ~PulseServer();
    PulseServer(const PulseServer&) = delete;
    PulseServer& operator=(const PulseServer&) = delete;

    // The server string clients connect with ("unix:/tmp/.../native").
    const std::string& server() const { return server_; }
    // Points a child process at this server (and nowhere else), on top of `options`.
    ProcessOptions env(ProcessOptions options = {}) const;
    // Runs pactl against this server; its standard output, or none when it failed.
    std::optional<std::string> pactl(const std::vector<std::string>& args) const;
    // Plays a sine tone, the same on both channels, from a process of its own (pacat).
    std::unique_ptr<Process> play(double frequency, double amplitude, double seconds) const;
    // Stops the daemon at once, as a crash would.
    void kill();

  private:
    std::string dir_;
    std::string server_;
    std::unique_ptr<Process> daemon_;
};

// Plays a sine tone from this very process through libpulse until destroyed, so that the
// process shows up as a playing application.
class TonePlayer {
  public:
    TonePlayer(const PulseServer& server, double frequency, double amplitude);
    ~TonePlayer();
    TonePlayer(const TonePlayer&) = delete;
    TonePlayer& operator=(const TonePlayer&) = delete;

  private:
    ::pa_simple* stream_ = nullptr;
    std::atomic<bool> stop_{false};
    std::thread worker_;
};

} // namespace lumatap::test
