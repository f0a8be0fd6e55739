// A Wayland compositor for end-to-end tests: sway or labwc from the Debian unstable chroot
// that scripts/wayland-chroot makes, running headless with the pixman renderer and one
// 1280x720 output, as the chroot's unprivileged user (sway refuses root), with a private
// runtime directory inside the chroot that the test process reaches from outside.
#pragma once

#include "tests/support/process.h"

#include <filesystem>
#include <memory>
#include <string>

namespace lumatap::test {

enum class CompositorKind { Sway, Labwc };

const char* compositorName(CompositorKind kind);

class Compositor {
  public:
    // Makes the chroot if it is not there yet, starts the compositor and returns once its
    // socket answers. Throws std::runtime_error beginning "not run: " when the chroot cannot
    // be made, and another message when the compositor does not come up.
    explicit Compositor(CompositorKind kind);
    ~Compositor(); // stops the compositor and removes the runtime directory
    Compositor(const Compositor&) = delete;
    Compositor& operator=(const Compositor&) = delete;

    CompositorKind kind() const { return kind_; }
    // What a program on the host needs to reach the compositor: XDG_RUNTIME_DIR and
    // WAYLAND_DISPLAY (and SWAYSOCK under sway), with no X display.
    ProcessOptions env() const;
    const std::filesystem::path& runtimeDir() const { return runtimeDir_; }
    // Runs a program of the chroot (swaymsg, say) as the compositor's user, in its session.
    RunResult command(const std::vector<std::string>& argv);
    // What the compositor wrote to standard error so far.
    std::string log();

  private:
    void cleanup();

    CompositorKind kind_;
    std::filesystem::path runtimeDir_; // as the host sees it
    std::vector<std::string> session_; // chroot, user and environment to run a program in
    std::string socket_;
    std::unique_ptr<Process> process_;
};

// The project's test Wayland client (tests/wlclient), driven one request at a time.
class WlClient {
  public:
    explicit WlClient(const Compositor& compositor);
    // The same, with the shell command `alongside` started in the background as a child of
    // the client's process (so the client is the command's parent).
    WlClient(const Compositor& compositor, const std::string& alongside);
    ~WlClient();
    pid_t pid() const { return process_->pid(); }
    // Sends one request line and returns the answer line.
    std::string ask(const std::string& request);
    // Opens a window filled with `rgb`; returns the client's number for it.
    int window(int width, int height, std::uint32_t rgb, const std::string& appId,
               const std::string& title);

  private:
    std::unique_ptr<Process> process_;
};

} // namespace lumatap::test
