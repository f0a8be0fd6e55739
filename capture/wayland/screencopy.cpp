#include "capture/wayland/screencopy.h"

#include "capture/media/picture_size.h"
#include "capture/media/upright.h"
#include "wlr-screencopy-unstable-v1-client-protocol.h"

#include <algorithm>
#include <cmath>
#include <wayland-client.h>

namespace lumatap::wayland {
namespace {

ErrorPtr failure(ErrorCode code, std::string description) {
    return makeError(std::string(errorDomain), code, std::move(description));
}

// The formats whose bytes are BGRA or RGBA in memory, those first.
constexpr std::uint32_t usable[] = {WL_SHM_FORMAT_XRGB8888, WL_SHM_FORMAT_ARGB8888,
                                    WL_SHM_FORMAT_XBGR8888, WL_SHM_FORMAT_ABGR8888};

bool redBlueSwapped(std::uint32_t format) {
    return format == WL_SHM_FORMAT_XBGR8888 || format == WL_SHM_FORMAT_ABGR8888;
}

} // namespace

struct Screencopy::Events {
    static Screencopy& of(void* data) { return *static_cast<Screencopy*>(data); }

    static void buffer(void* data, zwlr_screencopy_frame_v1* frame, std::uint32_t format,
                       std::uint32_t width, std::uint32_t height, std::uint32_t stride) {
        of(data).offers_.push_back({format, width, height, stride});
        // Before version 3 no event closes the list: the one wl_shm offer is all of it.
        if (zwlr_screencopy_frame_v1_get_version(frame) < 3) {
            of(data).offered_ = true;
        }
    }
    static void flags(void* data, zwlr_screencopy_frame_v1*, std::uint32_t value) {
        of(data).yInvert_ = value & ZWLR_SCREENCOPY_FRAME_V1_FLAGS_Y_INVERT;
    }
    static void ready(void* data, zwlr_screencopy_frame_v1*, std::uint32_t, std::uint32_t,
                      std::uint32_t) {
        of(data).ready_ = true;
    }
    static void failed(void* data, zwlr_screencopy_frame_v1*) { of(data).failed_ = true; }
    static void damage(void* data, zwlr_screencopy_frame_v1*, std::uint32_t x, std::uint32_t y,
                       std::uint32_t width, std::uint32_t height) {
        of(data).frameDamage_.push_back({static_cast<double>(x), static_cast<double>(y),
                                         static_cast<double>(width), static_cast<double>(height)});
    }
    static void dmabuf(void*, zwlr_screencopy_frame_v1*, std::uint32_t, std::uint32_t,
                       std::uint32_t) {}
    static void bufferDone(void* data, zwlr_screencopy_frame_v1*) { of(data).offered_ = true; }
    static constexpr zwlr_screencopy_frame_v1_listener listener{buffer, flags,  ready,     failed,
                                                                damage, dmabuf, bufferDone};
};

Screencopy::Screencopy(Connection& connection, const Output& output, bool cursor)
    : connection_(connection), output_(output), cursor_(cursor) {
}

Screencopy::~Screencopy() {
    dropFrame();
    buffer_.reset();
    wl_display_flush(connection_.display());
}

void Screencopy::dropFrame() {
    if (frame_) {
        zwlr_screencopy_frame_v1_destroy(frame_);
        frame_ = nullptr;
    }
    offers_.clear();
    frameDamage_.clear();
    offered_ = yInvert_ = ready_ = failed_ = false;
}

bool Screencopy::request(Clock::time_point deadline, ErrorPtr& error) {
    zwlr_screencopy_manager_v1* manager = connection_.screencopy();
    frame_ = zwlr_screencopy_manager_v1_capture_output(manager, cursor_ ? 1 : 0, output_.output);
    zwlr_screencopy_frame_v1_add_listener(frame_, &Events::listener, this);
    // The offers come at once; the deadline is for the change that the copy waits for.
    if (!connection_.dispatchUntil([this] { return offered_ || failed_ || gone(); },
                                   std::max(deadline, Clock::now() + connection_.timeout()),
                                   error)) {
        dropFrame();
        return false;
    }
    if (failed_ || gone()) {
        return true; // told by the caller's wait
    }
    const Offer* chosen = nullptr;
    for (std::uint32_t format : usable) {
        for (const Offer& offer : offers_) {
            if (!chosen && offer.format == format) {
                chosen = &offer;
            }
        }
    }
    if (!chosen) {
        std::string offered;
        for (const Offer& o : offers_) {
            offered += (offered.empty() ? "" : ", ") + std::to_string(o.format);
        }
        error = failure(captureFailed,
                        "the compositor offers no 32-bit RGB shared-memory format (offered: " +
                            (offered.empty() ? std::string("none") : offered) + ")");
        dropFrame();
        return false;
    }
    if (!buffer_ || buffer_->width != chosen->width || buffer_->height != chosen->height ||
        buffer_->stride != chosen->stride || buffer_->format != chosen->format) {
        buffer_.reset();
        buffer_ = ShmBuffer::make(connection_.shm(), chosen->width, chosen->height, chosen->stride,
                                  chosen->format, error);
        if (!buffer_) {
            dropFrame();
            return false;
        }
        whole_ = true;
    }
    // The first copy is answered at once; later ones wait for a change and say where it was.
    if (whole_ || zwlr_screencopy_manager_v1_get_version(manager) < 2) {
        zwlr_screencopy_frame_v1_copy(frame_, buffer_->buffer);
    } else {
        zwlr_screencopy_frame_v1_copy_with_damage(frame_, buffer_->buffer);
    }
    return true;
}

void Screencopy::convert() {
    auto transform = static_cast<std::uint32_t>(output_.transform);
    media::Upright upright{transform <= 7 ? transform : 0, buffer_->width, buffer_->height};
    if (upright.quarter()) {
        std::swap(upright.width, upright.height);
    }
    if (picture_.width != upright.width || picture_.height != upright.height ||
        transform != transform_) {
        picture_.width = upright.width;
        picture_.height = upright.height;
        picture_.bytesPerRow = upright.width * 4;
        picture_.pixels.resize(picture_.bytesPerRow * picture_.height);
        whole_ = true;
    }
    transform_ = transform;
    const auto* bytes = static_cast<const std::uint8_t*>(buffer_->data);
    auto stride = static_cast<std::ptrdiff_t>(buffer_->stride);
    // A y-inverted buffer holds the output's rows bottom to top; the damage is the output's.
    if (yInvert_) {
        bytes += (buffer_->height - 1) * static_cast<std::size_t>(buffer_->stride);
        stride = -stride;
    }
    bool swap = redBlueSwapped(buffer_->format);
    auto copy = [&](const Rect& r) {
        media::Area area = media::pixelArea(r, upright.width, upright.height);
        if (!area.empty()) {
            media::copyUprightArea(bytes, stride, upright, area, swap, picture_);
            damage_.push_back({static_cast<double>(area.x), static_cast<double>(area.y),
                               static_cast<double>(area.width), static_cast<double>(area.height)});
        }
    };
    if (whole_) {
        copy({0, 0, static_cast<double>(upright.width), static_cast<double>(upright.height)});
    } else {
        for (const Rect& r : frameDamage_) {
            copy(upright.rect(r));
        }
    }
    whole_ = false;
}

bool Screencopy::next(Clock::time_point deadline, ErrorPtr& error) {
    damage_.clear();
    while (true) {
        if (gone()) {
            dropFrame();
            error = failure(sourceStopped, "the output is gone");
            return false;
        }
        if (!frame_ && !request(deadline, error)) {
            return false;
        }
        if (!connection_.dispatchUntil([this] { return ready_ || failed_ || gone(); }, deadline,
                                       error)) {
            return false;
        }
        if (gone()) {
            continue;
        }
        if (ready_) {
            convert();
            dropFrame();
            failures_ = 0;
            return true;
        }
        // A frame fails when the output goes or changes its mode under it: the roundtrip lets
        // a removal arrive, and the next frame offers the new size.
        dropFrame();
        whole_ = true;
        if (!connection_.roundtrip(error)) {
            return false;
        }
        if (!gone() && ++failures_ > 2) {
            error = failure(captureFailed, "the compositor could not copy the frame");
            return false;
        }
    }
}

} // namespace lumatap::wayland
