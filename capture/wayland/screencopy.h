// Pictures of one output through wlr-screencopy, the capture protocol of wlroots before 0.19.
// Each frame is an object of its own that the compositor copies the whole output into; after
// the first, a frame is answered only once the output has changed, with where it changed, so
// a still screen costs nothing and only the changed part is converted into the picture kept
// here.
#pragma once

#include "capture/platform.h"
#include "capture/wayland/connection.h"
#include "capture/wayland/shm_buffer.h"

#include <memory>
#include <optional>
#include <vector>

struct zwlr_screencopy_frame_v1;

namespace lumatap::wayland {

class Screencopy {
  public:
    // `cursor` asks the compositor to draw the pointer into the pictures.
    Screencopy(Connection& connection, const Output& output, bool cursor);
    ~Screencopy();
    Screencopy(const Screencopy&) = delete;
    Screencopy& operator=(const Screencopy&) = delete;

    // Brings the picture up to date: at once the first time, later once the output has
    // changed. False at the deadline, with `error` timedOut, when nothing changed (the request
    // stays, and the next call goes on waiting for it); false with sourceStopped when the
    // output is gone, captureFailed when the compositor cannot copy it.
    bool next(Clock::time_point deadline, ErrorPtr& error);

    // The output's picture, upright, as BGRA rows; and what the last `next` changed in it.
    const Image& picture() const { return picture_; }
    const std::vector<Rect>& damage() const { return damage_; }

    struct Events; // the listeners, in screencopy.cpp

  private:
    struct Offer {
        std::uint32_t format = 0;
        std::uint32_t width = 0;
        std::uint32_t height = 0;
        std::uint32_t stride = 0;
    };

    bool request(Clock::time_point deadline, ErrorPtr& error);
    void convert();
    void dropFrame();
    bool gone() const { return output_.removed; }

    Connection& connection_;
    const Output& output_;
    const bool cursor_;
    zwlr_screencopy_frame_v1* frame_ = nullptr;
    std::unique_ptr<ShmBuffer> buffer_;
    Image picture_;
    std::vector<Rect> damage_;
    // Every pixel is to be converted again: the first picture, or a new buffer.
    bool whole_ = true;
    std::uint32_t transform_ = 0; // the output's, as the picture was last turned
    int failures_ = 0;

    // The frame under way.
    std::vector<Offer> offers_;
    bool offered_ = false;
    bool yInvert_ = false;
    bool ready_ = false;
    bool failed_ = false;
    std::vector<Rect> frameDamage_;
};

} // namespace lumatap::wayland
