// A desktop for end-to-end tests: a private X server with a real window manager (or none),
// a private D-Bus session and home, and real programs whose windows the test looks up.
#pragma once

#include "tests/support/process.h"
#include "tests/support/xserver.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace lumatap::test {

enum class Manager { None, Openbox, Dwm, Mutter, Xfwm4 };

const char* managerName(Manager kind);

// How a program's top-level client window is recognised: every field that is set must match.
struct WindowMatch {
    std::string title;    // WM_NAME or _NET_WM_NAME, byte for byte
    std::string appClass; // the class or the instance half of WM_CLASS
};

class Desktop {
  public:
    // Starts the server, the session bus and the manager, and returns once the manager
    // manages the screen (and composites, for a compositing manager); throws when any of
    // them does not come up.
    explicit Desktop(Manager kind, int width = 1280, int height = 720,
                     const std::vector<std::string>& serverArgs = {});
    ~Desktop();
    Desktop(const Desktop&) = delete;
    Desktop& operator=(const Desktop&) = delete;

    Manager kind() const { return kind_; }
    XServer& server() { return *server_; }
    // What a program started on this desktop sees: the display, the private home, runtime
    // directory and session bus, GTK on X11 without the accessibility bus.
    ProcessOptions env() const;

    // Starts a program and waits until its client window is mapped; returns the window.
    // The program runs until stopPrograms() or the end of the desktop.
    std::uint32_t launch(const std::vector<std::string>& argv, const WindowMatch& match,
                         const ProcessOptions& extra = {});
    std::uint32_t xterm(const std::string& title, const std::string& appClass,
                        const ProcessOptions& extra = {});
    std::uint32_t xclock(const std::string& title, const std::string& geometry);
    // gtk3-demo's main window, drawn with client-side decorations.
    std::uint32_t gtkDemo();
    // Kills every program started with launch(), with everything they started.
    void stopPrograms();

    // Runs a tool (xprop, wmctrl, xdotool) against this desktop.
    RunResult run(const std::vector<std::string>& argv);
    // Runs a tool and throws with its output when it fails.
    void must(const std::vector<std::string>& argv);
    // Waits until `done` holds, for at most ten seconds; throws with `what` when it never does.
    void waitFor(const std::function<bool()>& done, const std::string& what);
    // The window's property as xprop prints it.
    std::string property(std::uint32_t window, const std::string& name);

  private:
    void cleanup();
    void startBus();
    void startManager();
    bool managing();

    Manager kind_;
    std::filesystem::path home_;
    std::unique_ptr<XServer> server_;
    std::unique_ptr<Process> bus_;
    std::string busAddress_;
    std::unique_ptr<Process> manager_;
    std::vector<std::unique_ptr<Process>> programs_;
};

// Stops a process and every process it started, asking first, then forcing.
void stopTree(Process& process);

} // namespace lumatap::test
