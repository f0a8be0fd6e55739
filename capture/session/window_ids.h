// Window numbers for toplevel identifiers. A toplevel's identifier is a string, while a window
// id is a 32-bit number that a host keeps from a `list` run to a later `thumb` or `video`
// run, so the mapping lives in a small file that every run shares. Numbers are handed out in
// order and never again, even after their window is gone, so no two windows ever share one.
#pragma once

#include "capture/platform.h"

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace lumatap::session {

class WindowIds {
  public:
    // Takes the map's lock (waiting for another run that holds it) and reads the map; none,
    // with `error` set, when the file cannot be opened. Hold it while listing toplevels, so
    // that no other run prunes an identifier this one is about to see.
    static std::unique_ptr<WindowIds> lock(const std::string& path, ErrorPtr& error);
    // The map's file for the compositor named by `display` (a WAYLAND_DISPLAY value) under
    // `runtimeDir`.
    static std::string pathFor(const std::string& runtimeDir, const std::string& display);
    // The runtime folder the maps are kept in (XDG_RUNTIME_DIR); none, with `problem`, when
    // the session names none, since ids could then not outlive the run.
    static std::optional<std::string> runtimeDir(std::string& problem);

    ~WindowIds(); // releases the lock
    WindowIds(const WindowIds&) = delete;
    WindowIds& operator=(const WindowIds&) = delete;

    // Numbers every identifier of `live`, the full list of toplevels the compositor has now,
    // forgets the ones no longer listed and writes the map back. An identifier that cannot be
    // stored (empty, too long, control characters) gets no number. False, with `error`
    // set, when the file cannot be written; the numbers are not to be used then.
    bool assign(const std::vector<std::string>& live, std::map<std::string, WindowID>& numbers,
                ErrorPtr& error);
    // The number of an identifier as last written, without changing anything.
    std::optional<WindowID> find(const std::string& identifier) const;

  private:
    WindowIds(std::string path, int lockFd);

    std::string path_;
    int lockFd_ = -1;
    std::map<std::string, WindowID> known_;
    WindowID next_ = 1;
};

} // namespace lumatap::session
