// KWin's screencasts (zkde_screencast_unstable_v1): KWin renders an output or a window into a
// PipeWire node of its own and names the node here; the pictures themselves go through
// PipeWire. KWin offers the global only to programs that a desktop file grants it.
#pragma once

#include "capture/wayland/connection.h"

#include <cstdint>
#include <memory>
#include <string>

struct zkde_screencast_stream_unstable_v1;

namespace lumatap::wayland {

class KdeScreencast {
  public:
    // How KWin shows the pointer: not at all, drawn into the pictures, or beside them as
    // PipeWire metadata.
    enum class Pointer : std::uint32_t { hidden = 1, embedded = 2, metadata = 4 };

    // Asks for a stream of `output`, or of the window KWin knows by `uuid`, and waits until
    // KWin has made its node. None, with `error`, when the global is not offered
    // (missingProtocol), KWin refuses (captureFailed, with KWin's own words), the source is
    // gone (sourceStopped) or the connection fails.
    static std::unique_ptr<KdeScreencast> ofOutput(Connection& connection, const Output& output,
                                                   Pointer pointer, ErrorPtr& error);
    static std::unique_ptr<KdeScreencast> ofWindow(Connection& connection, const std::string& uuid,
                                                   Pointer pointer, ErrorPtr& error);
    ~KdeScreencast(); // closes the stream: KWin removes the node
    KdeScreencast(const KdeScreencast&) = delete;
    KdeScreencast& operator=(const KdeScreencast&) = delete;

    // The PipeWire node that carries the pictures.
    std::uint32_t node() const { return node_; }
    // Whether KWin has ended the stream (its source closed or went), as far as the events
    // dispatched so far tell.
    bool closed() const { return closed_; }

    struct Events; // the listener, in kde_screencast.cpp

  private:
    KdeScreencast() = default;
    static std::unique_ptr<KdeScreencast>
    start(Connection& connection, std::unique_ptr<KdeScreencast> cast, ErrorPtr& error);

    zkde_screencast_stream_unstable_v1* stream_ = nullptr;
    std::uint32_t node_ = 0;
    bool created_ = false;
    bool closed_ = false;
    std::string failure_;
    bool failed_ = false;
};

} // namespace lumatap::wayland
