// A private X server (Xvfb) and the test X client, started and stopped by a test.
#pragma once

#include "tests/support/process.h"

#include <cstdint>
#include <memory>
#include <string>

namespace lumatap::test {

class XServer {
  public:
    // Starts Xvfb on a free display number with one screen of `width` by `height`; `extra`
    // goes on its command line (an authorization file, say).
    // With `resetWhenIdle`, the server starts a new generation (atoms numbered afresh) each
    // time its last client leaves, as a bare X server does.
    explicit XServer(int width = 1920, int height = 1080, int depth = 24,
                     const std::vector<std::string>& extra = {}, bool resetWhenIdle = false);
    ~XServer();

    const std::string& display() const { return display_; }
    // Options that point a child process at this server.
    ProcessOptions env() const;
    // Runs a command (xrandr, say) against this server; true when it exits with 0.
    bool command(const std::vector<std::string>& argv);
    // Starts a reparenting window manager (openbox) and waits until it manages the screen.
    void startWindowManager();

  private:
    std::string display_;
    std::unique_ptr<Process> server_;
    std::unique_ptr<Process> manager_;
};

// The project's test X client (tests/xclient), driven one request at a time.
class XClient {
  public:
    explicit XClient(const XServer& server);
    // Connects as `options` say (a display name over TCP, say).
    explicit XClient(const ProcessOptions& options);
    ~XClient();
    pid_t pid() const { return process_->pid(); }
    // Sends one request line and returns the answer line.
    std::string ask(const std::string& request);
    // Opens a window; returns its id.
    std::uint32_t window(int x, int y, int width, int height, std::uint32_t rgb,
                         const std::string& options = "");

  private:
    std::unique_ptr<Process> process_;
};

} // namespace lumatap::test
