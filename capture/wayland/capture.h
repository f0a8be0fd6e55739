// Frames of one output or one toplevel through ext-image-copy-capture-v1, copied by the
// compositor into a shared-memory buffer. A session stays open for as many frames as its
// holder asks: after the first, the compositor answers once the source has changed, and says
// where.
#pragma once

#include "capture/platform.h"
#include "capture/wayland/connection.h"
#include "capture/wayland/shm_buffer.h"

#include <memory>
#include <optional>
#include <vector>

struct ext_image_capture_source_v1;
struct ext_image_copy_capture_session_v1;
struct ext_image_copy_capture_frame_v1;

namespace lumatap::wayland {

struct Frame {
    Image image;                 // BGRA rows, upright
    std::vector<Rect> damage;    // what changed since the session's previous frame, in pixels
    std::uint32_t transform = 0; // wl_output.transform the buffer came with, undone in both
};

class CaptureSession {
  public:
    // Opens a session and waits for its first buffer constraints; none, with `error` set,
    // when the compositor refuses or the source is already gone. `paintCursors` asks the
    // compositor to draw the pointer into the frames.
    static std::unique_ptr<CaptureSession> ofOutput(Connection& connection, const Output& output,
                                                    bool paintCursors, ErrorPtr& error);
    static std::unique_ptr<CaptureSession> ofToplevel(Connection& connection,
                                                      const Toplevel& toplevel, bool paintCursors,
                                                      ErrorPtr& error);
    ~CaptureSession();
    CaptureSession(const CaptureSession&) = delete;
    CaptureSession& operator=(const CaptureSession&) = delete;

    // The size a frame's buffer must have: for a toplevel, the only size the protocol gives.
    std::uint32_t width() const { return width_; }
    std::uint32_t height() const { return height_; }
    // The wl_shm formats the compositor offers for this source.
    const std::vector<std::uint32_t>& shmFormats() const { return formats_; }
    bool stopped() const { return gone(); }

    // The next frame: the first at once, each later one when the source has changed. None at
    // the deadline, with `error` timedOut, when nothing changed (the request stays, and the
    // next call goes on waiting for it); none with sourceStopped when the source is gone.
    // `previous`, if given, is the picture of this session's frame before (as a frame from
    // this call left it): the new frame's picture is then made from it and only what changed,
    // instead of copying the whole buffer again, and `previous` is left without pixels.
    std::optional<Frame> nextFrame(Clock::time_point deadline, ErrorPtr& error,
                                   Image* previous = nullptr);

    struct Events; // the listeners, in capture.cpp

  private:
    CaptureSession(Connection& connection, const Toplevel* toplevel);
    bool gone() const;
    static std::unique_ptr<CaptureSession> start(std::unique_ptr<CaptureSession> session,
                                                 ext_image_capture_source_v1* source,
                                                 bool paintCursors, ErrorPtr& error);
    bool request(ErrorPtr& error);
    void dropFrame();

    Connection& connection_;
    const Toplevel* toplevel_ = nullptr; // the captured toplevel, none for an output
    ext_image_capture_source_v1* source_ = nullptr;
    ext_image_copy_capture_session_v1* session_ = nullptr;
    ext_image_copy_capture_frame_v1* frame_ = nullptr;
    std::unique_ptr<ShmBuffer> buffer_;

    // Constraints as they arrive, and as they stood at the last `done`.
    std::uint32_t pendingWidth_ = 0;
    std::uint32_t pendingHeight_ = 0;
    std::vector<std::uint32_t> pendingFormats_;
    std::uint32_t width_ = 0;
    std::uint32_t height_ = 0;
    std::vector<std::uint32_t> formats_;
    std::uint64_t constraintsSerial_ = 0;
    std::uint64_t frameSerial_ = 0; // the constraints a requested frame was made for
    bool stopped_ = false;
    bool fullDamage_ = true;
    // The buffer was filled anew since the last frame taken (first, new, or after a failed
    // frame), so a frame's reported damage need not cover all that differs from the one before.
    bool refilled_ = true;

    // The frame under way.
    std::vector<Rect> damage_;
    std::uint32_t transform_ = 0;
    bool ready_ = false;
    std::optional<std::uint32_t> failure_;
};

} // namespace lumatap::wayland
