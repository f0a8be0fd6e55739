// KWin, the KDE Plasma compositor, as far as capture asks it over the session bus: whether it
// runs, and its windows. KWin lists its windows to no Wayland client without a grant, but a
// script loaded into it sees them all and can call back over the bus, so the list comes from
// a small script that this process loads, runs and unloads again for every question.
#pragma once

#include "capture/platform.h"

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lumatap::kde {

using Clock = std::chrono::steady_clock;

// The error domain of this layer, and its codes.
inline constexpr std::string_view errorDomain = "kwin";
enum ErrorCode : std::int64_t {
    noKWin = 1,       // no session bus, or no KWin on it
    busFailed = 2,    // the bus or KWin refused a call
    scriptFailed = 3, // the script could not be written, loaded or run, or answered nonsense
    timedOut = 4,     // the script never called back
};

// One window as KWin keeps it.
struct KWinWindow {
    std::string uuid; // KWin's internal id, unique for the window's life
    std::string title;
    std::string resourceClass;
    std::string desktopFile; // the desktop file's name, without ".desktop"
    ProcessID pid = 0;       // 0 when KWin does not know it
    Rect frame;              // with the decoration, without the shadow, in logical pixels
    bool normal = false;     // an application's main window or dialog, not a panel or popup
    bool minimized = false;
    bool hidden = false;
    bool onCurrentDesktop = false;
    std::string output; // the connector of the output it is on
};

class KWin {
  public:
    // Connects to the session bus (DBUS_SESSION_BUS_ADDRESS); none, with `error` (noKWin)
    // saying why, when there is none or org.kde.KWin has no owner on it.
    static std::unique_ptr<KWin>
    connect(ErrorPtr& error, std::chrono::milliseconds timeout = std::chrono::seconds(5));
    ~KWin();
    KWin(const KWin&) = delete;
    KWin& operator=(const KWin&) = delete;

    // Every window KWin manages, bottom of the stack first; none, with `error`, when the
    // script could not be run or did not answer in time.
    std::optional<std::vector<KWinWindow>> windows(ErrorPtr& error);

    struct Bus; // the sd-bus side, in kwin.cpp

  private:
    KWin(std::unique_ptr<Bus> bus, std::chrono::milliseconds timeout);

    std::unique_ptr<Bus> bus_;
    std::chrono::milliseconds timeout_;
    unsigned runs_ = 0;
};

// The windows in the script's answer, bottom of the stack first; none when the text is not
// such an answer.
std::optional<std::vector<KWinWindow>> parseWindows(std::string_view json);

} // namespace lumatap::kde
