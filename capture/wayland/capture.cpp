#include "capture/wayland/capture.h"

#include "capture/media/upright.h"
#include "capture/wayland/shm_buffer.h"
#include "ext-image-capture-source-v1-client-protocol.h"
#include "ext-image-copy-capture-v1-client-protocol.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <wayland-client.h>

namespace lumatap::wayland {
namespace {

ErrorPtr failure(ErrorCode code, std::string description) {
    return makeError(std::string(errorDomain), code, std::move(description));
}

// Copies the pixels of `area` (clipped to the buffer) from the buffer into a picture of the
// same layout.
void copyArea(const std::uint8_t* buffer, std::size_t stride, std::uint32_t width,
              std::uint32_t height, const Rect& area, std::uint8_t* picture) {
    const auto left = static_cast<std::size_t>(std::clamp(std::floor(area.x), 0.0, double(width)));
    const auto top = static_cast<std::size_t>(std::clamp(std::floor(area.y), 0.0, double(height)));
    const auto right =
        static_cast<std::size_t>(std::clamp(std::ceil(area.x + area.width), 0.0, double(width)));
    const auto bottom =
        static_cast<std::size_t>(std::clamp(std::ceil(area.y + area.height), 0.0, double(height)));
    if (right <= left) {
        return;
    }
    for (std::size_t y = top; y < bottom; ++y) {
        std::memcpy(picture + y * stride + left * 4, buffer + y * stride + left * 4,
                    (right - left) * 4);
    }
}

} // namespace

struct CaptureSession::Events {
    static CaptureSession& of(void* data) { return *static_cast<CaptureSession*>(data); }

    static void bufferSize(void* data, ext_image_copy_capture_session_v1*, std::uint32_t width,
                           std::uint32_t height) {
        of(data).pendingWidth_ = width;
        of(data).pendingHeight_ = height;
    }
    static void shmFormat(void* data, ext_image_copy_capture_session_v1*, std::uint32_t format) {
        of(data).pendingFormats_.push_back(format);
    }
    static void dmabufDevice(void*, ext_image_copy_capture_session_v1*, wl_array*) {}
    static void dmabufFormat(void*, ext_image_copy_capture_session_v1*, std::uint32_t, wl_array*) {}
    static void done(void* data, ext_image_copy_capture_session_v1*) {
        CaptureSession& s = of(data);
        s.width_ = s.pendingWidth_;
        s.height_ = s.pendingHeight_;
        s.formats_ = std::move(s.pendingFormats_);
        s.pendingFormats_.clear();
        ++s.constraintsSerial_;
    }
    static void stopped(void* data, ext_image_copy_capture_session_v1*) {
        of(data).stopped_ = true;
    }
    static constexpr ext_image_copy_capture_session_v1_listener sessionListener{
        bufferSize, shmFormat, dmabufDevice, dmabufFormat, done, stopped};

    static void transform(void* data, ext_image_copy_capture_frame_v1*, std::uint32_t value) {
        of(data).transform_ = value;
    }
    static void damage(void* data, ext_image_copy_capture_frame_v1*, std::int32_t x, std::int32_t y,
                       std::int32_t width, std::int32_t height) {
        of(data).damage_.push_back(Rect{static_cast<double>(x), static_cast<double>(y),
                                        static_cast<double>(width), static_cast<double>(height)});
    }
    static void presentationTime(void*, ext_image_copy_capture_frame_v1*, std::uint32_t,
                                 std::uint32_t, std::uint32_t) {}
    static void ready(void* data, ext_image_copy_capture_frame_v1*) { of(data).ready_ = true; }
    static void failed(void* data, ext_image_copy_capture_frame_v1*, std::uint32_t reason) {
        of(data).failure_ = reason;
    }
    static constexpr ext_image_copy_capture_frame_v1_listener frameListener{
        transform, damage, presentationTime, ready, failed};
};

CaptureSession::CaptureSession(Connection& connection, const Toplevel* toplevel)
    : connection_(connection), toplevel_(toplevel) {
}

bool CaptureSession::gone() const {
    return stopped_ || (toplevel_ && toplevel_->closed);
}

CaptureSession::~CaptureSession() {
    dropFrame();
    if (session_) {
        ext_image_copy_capture_session_v1_destroy(session_);
    }
    if (source_) {
        ext_image_capture_source_v1_destroy(source_);
    }
    buffer_.reset();
    wl_display_flush(connection_.display());
}

std::unique_ptr<CaptureSession> CaptureSession::ofOutput(Connection& connection,
                                                         const Output& output, bool paintCursors,
                                                         ErrorPtr& error) {
    if (output.removed) {
        error = failure(sourceStopped, "the output is gone");
        return nullptr;
    }
    auto* source = ext_output_image_capture_source_manager_v1_create_source(
        connection.outputSources(), output.output);
    return start(std::unique_ptr<CaptureSession>(new CaptureSession(connection, nullptr)), source,
                 paintCursors, error);
}

std::unique_ptr<CaptureSession> CaptureSession::ofToplevel(Connection& connection,
                                                           const Toplevel& toplevel,
                                                           bool paintCursors, ErrorPtr& error) {
    if (toplevel.closed) {
        error = failure(sourceStopped, "the window was closed");
        return nullptr;
    }
    auto* source = ext_foreign_toplevel_image_capture_source_manager_v1_create_source(
        connection.toplevelSources(), toplevel.handle);
    return start(std::unique_ptr<CaptureSession>(new CaptureSession(connection, &toplevel)), source,
                 paintCursors, error);
}

std::unique_ptr<CaptureSession> CaptureSession::start(std::unique_ptr<CaptureSession> s,
                                                      ext_image_capture_source_v1* source,
                                                      bool paintCursors, ErrorPtr& error) {
    s->source_ = source;
    s->session_ = ext_image_copy_capture_manager_v1_create_session(
        s->connection_.copyCapture(), source,
        paintCursors ? EXT_IMAGE_COPY_CAPTURE_MANAGER_V1_OPTIONS_PAINT_CURSORS : 0);
    ext_image_copy_capture_session_v1_add_listener(s->session_, &Events::sessionListener, s.get());
    CaptureSession& self = *s;
    if (!s->connection_.dispatchUntil(
            [&self] { return self.constraintsSerial_ > 0 || self.gone(); },
            Clock::now() + s->connection_.timeout(), error)) {
        return nullptr;
    }
    if (s->gone()) {
        error =
            failure(sourceStopped, s->toplevel_ ? "the window was closed" : "the output is gone");
        return nullptr;
    }
    return s;
}

void CaptureSession::dropFrame() {
    if (frame_) {
        ext_image_copy_capture_frame_v1_destroy(frame_);
        frame_ = nullptr;
    }
    damage_.clear();
    transform_ = 0;
    ready_ = false;
    failure_.reset();
}

bool CaptureSession::request(ErrorPtr& error) {
    // Both formats are BGRA bytes in memory; a toplevel keeps its transparency in argb8888.
    const std::uint32_t preferred[2] = {toplevel_ ? WL_SHM_FORMAT_ARGB8888 : WL_SHM_FORMAT_XRGB8888,
                                        toplevel_ ? WL_SHM_FORMAT_XRGB8888
                                                  : WL_SHM_FORMAT_ARGB8888};
    std::optional<std::uint32_t> format;
    for (std::uint32_t candidate : preferred) {
        if (!format && std::find(formats_.begin(), formats_.end(), candidate) != formats_.end()) {
            format = candidate;
        }
    }
    if (!format) {
        std::string offered;
        for (std::uint32_t f : formats_) {
            offered += (offered.empty() ? "" : ", ") + std::to_string(f);
        }
        error = failure(captureFailed,
                        "the compositor offers no 32-bit RGB shared-memory format (offered: " +
                            (offered.empty() ? std::string("none") : offered) + ")");
        return false;
    }
    if (!buffer_ || buffer_->width != width_ || buffer_->height != height_ ||
        buffer_->format != *format) {
        buffer_.reset();
        buffer_ = ShmBuffer::make(connection_.shm(), width_, height_, 0, *format, error);
        if (!buffer_) {
            return false;
        }
        fullDamage_ = true;
        refilled_ = true;
    }
    frame_ = ext_image_copy_capture_session_v1_create_frame(session_);
    ext_image_copy_capture_frame_v1_add_listener(frame_, &Events::frameListener, this);
    ext_image_copy_capture_frame_v1_attach_buffer(frame_, buffer_->buffer);
    // The buffer keeps the previous frame, so after the first only what the compositor
    // reports as changed needs copying into it.
    if (fullDamage_) {
        ext_image_copy_capture_frame_v1_damage_buffer(
            frame_, 0, 0, static_cast<std::int32_t>(width_), static_cast<std::int32_t>(height_));
        fullDamage_ = false;
    }
    ext_image_copy_capture_frame_v1_capture(frame_);
    frameSerial_ = constraintsSerial_;
    return true;
}

std::optional<Frame> CaptureSession::nextFrame(Clock::time_point deadline, ErrorPtr& error,
                                               Image* previous) {
    while (true) {
        if (gone()) {
            dropFrame();
            error =
                failure(sourceStopped, toplevel_ ? "the window was closed" : "the output is gone");
            return std::nullopt;
        }
        if (!frame_ && !request(error)) {
            return std::nullopt;
        }
        if (!connection_.dispatchUntil([this] { return ready_ || failure_ || gone(); }, deadline,
                                       error)) {
            return std::nullopt;
        }
        if (gone()) {
            continue;
        }
        if (ready_) {
            Frame frame;
            const auto* bytes = static_cast<const std::uint8_t*>(buffer_->data);
            if (transform_ == WL_OUTPUT_TRANSFORM_NORMAL || transform_ > 7) {
                frame.image.width = buffer_->width;
                frame.image.height = buffer_->height;
                frame.image.bytesPerRow = buffer_->stride;
                if (previous && !refilled_ && previous->width == buffer_->width &&
                    previous->height == buffer_->height &&
                    previous->bytesPerRow == buffer_->stride &&
                    previous->pixels.size() == buffer_->size) {
                    // The buffer differs from the frame before only where the compositor says
                    // it drew: copying just that saves reading and writing the whole picture
                    // for every frame, however little changed.
                    frame.image.pixels = std::move(previous->pixels);
                    for (const Rect& r : damage_) {
                        copyArea(bytes, buffer_->stride, buffer_->width, buffer_->height, r,
                                 frame.image.pixels.data());
                    }
                } else {
                    frame.image.pixels.assign(bytes, bytes + buffer_->size);
                }
                refilled_ = false;
                frame.damage = std::move(damage_);
            } else {
                media::Upright upright{transform_, buffer_->width, buffer_->height};
                if (upright.quarter()) {
                    std::swap(upright.width, upright.height);
                }
                media::copyUpright(bytes, buffer_->stride, upright, frame.image);
                // Its picture is not laid out as the buffer: the next frame is copied whole.
                refilled_ = true;
                for (const Rect& r : damage_) {
                    frame.damage.push_back(upright.rect(r));
                }
            }
            frame.image.alpha = toplevel_ && buffer_->format == WL_SHM_FORMAT_ARGB8888;
            frame.transform = transform_;
            dropFrame();
            return frame;
        }
        if (failure_) {
            std::uint32_t reason = *failure_;
            dropFrame();
            fullDamage_ = true;
            refilled_ = true;
            if (reason == EXT_IMAGE_COPY_CAPTURE_FRAME_V1_FAILURE_REASON_STOPPED) {
                stopped_ = true;
                continue;
            }
            if (reason != EXT_IMAGE_COPY_CAPTURE_FRAME_V1_FAILURE_REASON_BUFFER_CONSTRAINTS) {
                error = failure(captureFailed, "the compositor could not copy the frame");
                return std::nullopt;
            }
            // The source changed size or format: new constraints come (or came) with a
            // `done`; the next request follows them. A closing window shrinks to 1x1 just
            // before it goes, so the roundtrip lets its end arrive before a frame of nothing.
            std::uint64_t seen = frameSerial_;
            if (!connection_.dispatchUntil(
                    [this, seen] { return constraintsSerial_ != seen || gone(); }, deadline,
                    error) ||
                !connection_.roundtrip(error)) {
                return std::nullopt;
            }
        }
    }
}

} // namespace lumatap::wayland
