// A connection to a Wayland compositor, with whatever it offers of what capture uses: its
// outputs (with xdg-output for their place in the desktop), its toplevels
// (ext-foreign-toplevel-list-v1) and frames of either (ext-image-copy-capture-v1 over shared
// memory, or wlr-screencopy, or KWin's screencasts into PipeWire). Which of them a compositor must
// offer is for the one that uses the connection to ask.
#pragma once

#include "capture/platform.h"

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

struct wl_display;
struct wl_registry;
struct wl_shm;
struct wl_output;
struct zxdg_output_manager_v1;
struct zxdg_output_v1;
struct ext_foreign_toplevel_list_v1;
struct ext_foreign_toplevel_handle_v1;
struct ext_image_copy_capture_manager_v1;
struct ext_output_image_capture_source_manager_v1;
struct ext_foreign_toplevel_image_capture_source_manager_v1;
struct zwlr_screencopy_manager_v1;
struct zkde_screencast_unstable_v1;

namespace lumatap::wayland {

using Clock = std::chrono::steady_clock;

// The error domain of this layer, and its codes.
inline constexpr std::string_view errorDomain = "wayland";
enum ErrorCode : std::int64_t {
    noCompositor = 1,    // WAYLAND_DISPLAY unset, or nothing answers there
    missingProtocol = 2, // the compositor lacks an interface capture needs
    connectionLost = 3,  // the compositor went away or sent a protocol error
    timedOut = 4,        // the compositor did not answer in time
    sourceStopped = 5,   // the captured output or toplevel is gone
    captureFailed = 6,   // a frame failed, or its buffer could not be made
};

struct Output {
    std::uint32_t name = 0; // the registry's global name, the same for every client
    // The id a host sees: from the connector's name, so that it outlives the compositor's
    // numbering of its globals; 0 until the name is known.
    DisplayID id = 0;
    wl_output* output = nullptr;
    zxdg_output_v1* xdgOutput = nullptr;
    std::string connector;      // "HEADLESS-1", "DP-2"...
    std::int32_t modeWidth = 0; // the current mode, in pixels
    std::int32_t modeHeight = 0;
    std::int32_t scale = 1;
    std::int32_t transform = 0; // wl_output.transform
    Rect logical;               // position and size in the desktop's logical space
    bool removed = false;

    // The output's size in pixels, turned as the output is.
    std::int32_t pixelWidth() const { return transform % 2 ? modeHeight : modeWidth; }
    std::int32_t pixelHeight() const { return transform % 2 ? modeWidth : modeHeight; }
};

struct Toplevel {
    ext_foreign_toplevel_handle_v1* handle = nullptr;
    std::string identifier; // unique, never reused, valid while the toplevel lives
    std::string title;
    std::string appId;
    bool done = false; // its first set of properties has arrived
    bool closed = false;
};

class Connection {
  public:
    // Connects to the compositor that WAYLAND_DISPLAY names, binds whichever of the globals
    // named above it offers and reads its outputs and toplevels (no toplevels without the
    // toplevel list); none, with `error` saying why, when no compositor answers there or the
    // connection fails.
    static std::unique_ptr<Connection>
    open(ErrorPtr& error, std::chrono::milliseconds timeout = std::chrono::seconds(5));
    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    // Outputs in the order the compositor announced them; removed ones are marked.
    const std::vector<std::unique_ptr<Output>>& outputs() const { return outputs_; }
    // Toplevels in the compositor's order; closed ones are marked.
    const std::vector<std::unique_ptr<Toplevel>>& toplevels() const { return toplevels_; }
    // The live output with this id, or none.
    const Output* outputWithID(DisplayID id) const;

    // Whether the compositor announces a global of `interface`, bound here or not.
    bool offers(std::string_view interface) const;
    // Whether it offers all that capture through the ext- protocols needs: wl_shm, xdg-output,
    // ext-foreign-toplevel-list-v1, and ext-image-copy-capture-v1 with the sources of outputs
    // and of toplevels. False, with `error` (missingProtocol) naming what it lacks, when not.
    bool offersExtCapture(ErrorPtr& error) const;

    // Whether it offers what capture of outputs through wlr-screencopy needs: wl_shm,
    // xdg-output and zwlr_screencopy_manager_v1. False, with `error` (missingProtocol) naming
    // what it lacks, when not.
    bool offersScreencopy(ErrorPtr& error) const;

    // Dispatches events until `done` holds, or the deadline passes (false, `error` says
    // timedOut), or the connection fails (false, connectionLost).
    bool dispatchUntil(const std::function<bool()>& done, Clock::time_point deadline,
                       ErrorPtr& error);
    // Waits until the compositor has handled every request sent so far.
    bool roundtrip(ErrorPtr& error);

    wl_display* display() const { return display_; }
    // The globals bound, each none when the compositor does not offer it.
    wl_shm* shm() const { return shm_; }
    ext_image_copy_capture_manager_v1* copyCapture() const { return copyCapture_; }
    ext_output_image_capture_source_manager_v1* outputSources() const { return outputSources_; }
    ext_foreign_toplevel_image_capture_source_manager_v1* toplevelSources() const {
        return toplevelSources_;
    }
    zwlr_screencopy_manager_v1* screencopy() const { return screencopy_; }
    // KWin's screencasts into PipeWire, offered only to programs a desktop file grants it.
    zkde_screencast_unstable_v1* kdeScreencast() const { return kdeScreencast_; }
    // The WAYLAND_DISPLAY it connected to.
    const std::string& name() const { return name_; }
    std::chrono::milliseconds timeout() const { return timeout_; }

    struct Events; // the listeners, in connection.cpp

  private:
    Connection() = default;
    ErrorPtr lost() const;
    // Gives the live outputs their ids, in the order of their names, so that a clash of two
    // names' hashes is mended the same way in every run.
    void numberOutputs();

    wl_display* display_ = nullptr;
    wl_registry* registry_ = nullptr;
    wl_shm* shm_ = nullptr;
    zxdg_output_manager_v1* xdgOutputs_ = nullptr;
    ext_foreign_toplevel_list_v1* toplevelList_ = nullptr;
    ext_image_copy_capture_manager_v1* copyCapture_ = nullptr;
    ext_output_image_capture_source_manager_v1* outputSources_ = nullptr;
    ext_foreign_toplevel_image_capture_source_manager_v1* toplevelSources_ = nullptr;
    zwlr_screencopy_manager_v1* screencopy_ = nullptr;
    zkde_screencast_unstable_v1* kdeScreencast_ = nullptr;
    std::map<std::uint32_t, std::string> globals_; // every global announced: name, interface
    std::vector<std::unique_ptr<Output>> outputs_;
    std::vector<std::unique_ptr<Toplevel>> toplevels_;
    std::string name_;
    std::chrono::milliseconds timeout_{5000};
};

} // namespace lumatap::wayland
