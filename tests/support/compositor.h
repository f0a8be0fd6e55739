// A Wayland compositor for end-to-end tests: sway or labwc from a Debian chroot that
// scripts/wayland-chroot makes (unstable for wlroots 0.19 and later, 13 for the 0.18 of
// today's stable desktops), running headless with the pixman renderer and one
// 1280x720 output, as the chroot's unprivileged user (sway refuses root), with a private
// runtime directory inside the chroot that the test process reaches from outside. Both start
// Xwayland when the first X client connects, on an abstract socket the host reaches too.
#pragma once

#include "tests/support/process.h"

#include <filesystem>
#include <memory>
#include <string>

namespace lumatap::test {

// sway 1.12 and labwc 0.20 from Debian unstable; sway 1.10 and labwc 0.8 from Debian 13;
// gnome-shell from Debian unstable's GNOME tree, headless with one 1280x720 virtual monitor,
// with lumatap's extension (GnomeBare: without it); KWin 6 (KDE Plasma's compositor) from
// Debian unstable's KDE tree, with the session bus and PipeWire it needs.
enum class CompositorKind { Sway, Labwc, Sway110, Labwc08, Gnome, GnomeBare, KWin };

const char* compositorName(CompositorKind kind);
bool isSway(CompositorKind kind);
bool isGnome(CompositorKind kind);
// Whether it offers the ext- capture protocols (wlroots 0.19 and later), and so its native
// windows; the older ones offer wlr-screencopy of their outputs alone.
bool capturesWindows(CompositorKind kind);
bool isKWin(CompositorKind kind);

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
    // WAYLAND_DISPLAY (and SWAYSOCK under sway, the session bus under GNOME and KWin), with no
    // X display.
    ProcessOptions env() const;
    const std::filesystem::path& runtimeDir() const { return runtimeDir_; }
    // Runs a program of the chroot (swaymsg, say) as the compositor's user, in its session.
    RunResult command(const std::vector<std::string>& argv);
    // The argument vector that starts a program of the chroot in the compositor's session.
    std::vector<std::string> inSession(const std::vector<std::string>& argv) const;
    // Starts a program of the chroot as the compositor's user, in its session, and leaves it
    // running; the test reads its standard output.
    std::unique_ptr<Process> start(const std::vector<std::string>& argv);
    // What the compositor wrote to standard error so far.
    std::string log();
    // The X display of the compositor's Xwayland (":1", say). Throws, naming the reason, when
    // the compositor offers none.
    std::string xDisplay();
    // Where the compositor looks for desktop files (XDG_DATA_HOME's applications folder), as
    // the host sees it; KWin grants its restricted interfaces by them.
    std::filesystem::path applicationsDir() const { return runtimeDir_ / "data/applications"; }
    // The chroot user's ids: Xwayland lets only its own user's programs in.
    uid_t uid() const { return uid_; }
    gid_t gid() const { return gid_; }

  private:
    void cleanup();
    void startGnome();

    CompositorKind kind_;
    std::filesystem::path runtimeDir_; // as the host sees it
    std::vector<std::string> session_; // chroot, user and environment to run a program in
    std::string socket_;
    uid_t uid_ = 0;
    gid_t gid_ = 0;
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
    // Opens a window filled with `rgb`; returns the client's number for it. `options` go
    // before the title (left=RRGGBB, say).
    int window(int width, int height, std::uint32_t rgb, const std::string& appId,
               const std::string& title, const std::string& options = "");

  private:
    std::unique_ptr<Process> process_;
};

// The project's test X client (tests/xclient) on the compositor's Xwayland, run as the
// compositor's user, driven one request at a time.
class XwaylandClient {
  public:
    explicit XwaylandClient(Compositor& compositor);
    ~XwaylandClient();
    // Sends one request line and returns the answer line; throws, with the compositor's log,
    // when the client gets no answer (no X server, say).
    std::string ask(const std::string& request);
    // Opens a window of `rgb` at the top left with WM_CLASS `appClass`; returns its X id.
    std::uint32_t window(int width, int height, std::uint32_t rgb, const std::string& appClass,
                         const std::string& title, const std::string& options = "");

  private:
    Compositor& compositor_;
    std::unique_ptr<Process> process_;
};

} // namespace lumatap::test
