// One connection to the X server that DISPLAY names, shared by every part of the backend.
#pragma once

#include "capture/platform.h"

#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <xcb/xcb.h>

namespace lumatap::x11 {

inline constexpr std::string_view errorDomain = "lumatap.x11";

class Connection {
  public:
    // The process's connection, opened on first use. None, with `error` set, when the display
    // cannot be opened.
    static std::shared_ptr<Connection> shared(ErrorPtr& error);
    // A connection of its own, for a thread that waits for events (a stream's capture thread).
    static std::shared_ptr<Connection> open(ErrorPtr& error);

    ~Connection();
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;

    xcb_connection_t* get() const { return connection_; }
    xcb_window_t root() const { return screen_->root; }
    const xcb_screen_t& screen() const { return *screen_; }
    // The atom for `name`, interned once per connection.
    xcb_atom_t atom(std::string_view name);
    // Interns all of `names` that are not known yet in one round trip, where atom() would take
    // one for each.
    void preload(std::initializer_list<std::string_view> names);
    // Whether the server answers requests of the named extension.
    bool hasExtension(xcb_extension_t* extension);
    // Whether the server is Xwayland: the X side of a Wayland session, whose screen it does
    // not draw (its root window stays black; each window goes to the compositor on its own).
    // Asked once per connection.
    bool xwayland();

  private:
    Connection(xcb_connection_t* connection, xcb_screen_t* screen);

    xcb_connection_t* connection_;
    xcb_screen_t* screen_;
    std::mutex atomsMutex_;
    std::unordered_map<std::string, xcb_atom_t> atoms_;
    std::once_flag xwaylandAsked_;
    bool xwayland_ = false;
};

// A reply that frees itself.
template <class T> struct FreeDeleter {
    void operator()(T* p) const { std::free(p); }
};
template <class T> using Reply = std::unique_ptr<T, FreeDeleter<T>>;

// What a lost connection is reported as.
ErrorPtr connectionLost();

} // namespace lumatap::x11
