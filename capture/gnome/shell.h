// What lumatap asks GNOME on the session bus: the monitors (Mutter's DisplayConfig), the
// windows (lumatap's own shell extension, since the shell refuses its list to ordinary
// programs) and screen casts (Mutter's ScreenCast), which end in a PipeWire node.
#pragma once

#include "capture/dbus/bus.h"
#include "capture/platform.h"

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lumatap::gnome {

// The error domain of this backend, and its codes.
inline constexpr std::string_view errorDomain = "gnome";
enum ErrorCode : std::int64_t {
    noShell = 1,       // the session bus has no ScreenCast service
    shellFailed = 2,   // the shell answered with an error, or not in time
    sourceStopped = 3, // the captured monitor or window is gone
    captureFailed = 4, // the cast could not be read
};

inline constexpr std::string_view screenCastName = "org.gnome.Mutter.ScreenCast";
inline constexpr std::string_view windowsName = "io.github.lumatap.Windows";
inline constexpr std::chrono::milliseconds timeout{5000};

struct Monitor {
    std::string connector;
    DisplayID id = 0;
    std::size_t pixelWidth = 0; // the current mode, turned as the monitor is
    std::size_t pixelHeight = 0;
    Rect bounds; // in the desktop's logical space
    bool primary = false;
};

struct ShellWindow {
    std::uint64_t id = 0; // Meta.Window's, as RecordWindow takes it
    std::string title;
    std::string app; // what names the program: its .desktop Name, app id or class
    ProcessID pid = 0;
    Rect frame;  // the visible frame, client-side shadows left out
    Rect buffer; // what the client drew, its shadows included: a window cast's picture
    std::uint32_t type = 0;
    bool minimized = false;
    bool onActiveWorkspace = true;
};

// The part of the window's frame that its cast shows: the frame within what the client drew
// (a title bar drawn as a subsurface, as foot does, is outside the cast's picture).
Rect visibleFrame(const ShellWindow& window);

// The ErrorPtr for a failure of the shell's: the bus's own, or the shell's answer.
ErrorPtr shellError(const std::string& what, const ErrorPtr& cause);

// The monitors that have a logical place (enabled), in their connectors' order, with ids.
std::optional<std::vector<Monitor>> monitors(dbus::Bus& bus, ErrorPtr& error);

// The extension's window list, front to back; none with the permission refusal when the
// extension is not running, or with `error` when the shell failed.
std::optional<std::vector<ShellWindow>> windows(dbus::Bus& bus, ErrorPtr& error);

// A process of the shell that serves the window list: window ids are the shell's own, so a
// shell started again must not inherit the ids of the one before.
std::optional<ProcessID> windowsOwner(dbus::Bus& bus, ErrorPtr& error);

// The refusal the host shows when a capture needs the user's consent.
ErrorPtr notAllowed();

// One ScreenCast session with one stream, stopped when it goes. Holds the bus it was made on;
// both belong to one thread.
class Cast {
  public:
    enum class Cursor : std::uint32_t { hidden = 0, embedded = 1, metadata = 2 };
    // A cast of the monitor on `connector`, or of the window `window`, started; none with
    // `error` when the shell refuses or the source is gone.
    static std::unique_ptr<Cast> ofMonitor(dbus::Bus& bus, const std::string& connector,
                                           Cursor cursor, ErrorPtr& error);
    static std::unique_ptr<Cast> ofWindow(dbus::Bus& bus, std::uint64_t window, Cursor cursor,
                                          ErrorPtr& error);
    ~Cast();
    Cast(const Cast&) = delete;
    Cast& operator=(const Cast&) = delete;

    // The PipeWire node of the stream.
    std::uint32_t node() const { return node_; }
    // Whether the shell closed the session (its source gone, or the shell stopping).
    bool closed();

  private:
    explicit Cast(dbus::Bus& bus) : bus_(bus) {}
    static std::unique_ptr<Cast> start(std::unique_ptr<Cast> cast, const std::string& method,
                                       const dbus::Bus::Append& append, ErrorPtr& error);

    dbus::Bus& bus_;
    std::string session_;
    std::string stream_;
    std::uint32_t node_ = 0;
    bool closed_ = false;
    bool started_ = false;
    std::unique_ptr<dbus::Bus::Subscription> closedSignal_;
    std::unique_ptr<dbus::Bus::Subscription> nodeSignal_;
};

} // namespace lumatap::gnome
