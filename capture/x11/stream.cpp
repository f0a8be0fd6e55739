// Capture streams of a monitor or a window.
//
// Each stream has a thread of its own, with a connection of its own, that ticks at the
// configured minimum frame interval. A tick reads the picture only when something changed
// since the last read (the DAMAGE extension reports drawing; the pointer is polled when it is
// shown) and delivers it as a complete frame: scaled into the configured size with its aspect
// kept, the pointer drawn in, converted to NV12. Otherwise the tick delivers an idle frame
// without a picture, as a screen that stands still produces nothing new.
#include "capture/x11/stream.h"

#include "capture/x11/compose.h"
#include "capture/x11/connection.h"
#include "capture/x11/frame_extents.h"
#include "capture/x11/grab.h"
#include "capture/x11/pixel_pool.h"
#include "capture/x11/render_scale.h"
#include "capture/x11/scale.h"
#include "capture/x11/windows.h"
#include "capture/x11/yuv.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <new>
#include <thread>
#include <xcb/damage.h>
#include <xcb/xfixes.h>

namespace lumatap::x11 {
namespace {

using Clock = std::chrono::steady_clock;

// A stream never ticks faster than this, whatever rate it is asked for: reading the screen
// more often than once a millisecond gains nothing and would only burn the processor.
constexpr auto shortestTick = std::chrono::milliseconds(1);
constexpr auto monitorCheck = std::chrono::seconds(1);

ErrorPtr streamError(std::int64_t code, std::string description) {
    return makeError(std::string(errorDomain), code, std::move(description));
}

enum StreamFailure : std::int64_t {
    streamNotStarted = 201,
    streamWindowDestroyed = 202,
    streamDisplayGone = 203,
    streamServerGone = 204,
    streamUnsupported = 205,
    streamNoMemory = 206,
    streamNoOutput = 207,
};

class ScreenStream : public Stream, public std::enable_shared_from_this<ScreenStream> {
  public:
    ScreenStream(std::shared_ptr<const ContentFilter> filter,
                 std::shared_ptr<const StreamConfiguration> configuration,
                 std::shared_ptr<StreamDelegate> delegate)
        : filter_(std::move(filter)), configuration_(std::move(configuration)),
          delegate_(std::move(delegate)) {}

    ~ScreenStream() override {
        stopping_ = true;
        if (!thread_.joinable()) {
            return;
        }
        // The capture thread lets go last when the owner left during a tick; it then ends by
        // itself without touching the stream again.
        if (thread_.get_id() == std::this_thread::get_id()) {
            thread_.detach();
        } else {
            thread_.join();
        }
    }

    bool addStreamOutput(std::shared_ptr<StreamOutput> output, OutputType type,
                         std::shared_ptr<SerialQueue> queue, ErrorPtr& error) override {
        if (type != OutputType::screen || !output || !queue) {
            error = streamError(streamNoOutput, "a screen stream delivers pictures only");
            return false;
        }
        std::lock_guard lock(outputsMutex_);
        outputs_.push_back({std::move(output), std::move(queue)});
        return true;
    }

    void startCapture(std::function<void(ErrorPtr)> completion) override {
        ErrorPtr error;
        if (thread_.joinable()) {
            error = streamError(streamNotStarted, "the stream has already started");
        } else {
            try {
                prepare(error);
            } catch (const std::bad_alloc&) {
                error = streamError(streamNoMemory, "not enough memory for the stream's frames");
            }
            if (!error) {
                thread_ = std::thread([stream = weak_from_this()] { run(stream); });
            }
        }
        completion(std::move(error));
    }

  private:
    struct Registration {
        std::shared_ptr<StreamOutput> output;
        std::shared_ptr<SerialQueue> queue;
    };

    void prepare(ErrorPtr& error);
    static void run(const std::weak_ptr<ScreenStream>& stream);
    bool tick(ErrorPtr& error);
    void takeEvents(ErrorPtr& error);
    bool pointerMoved();
    std::optional<BgraView> read(ErrorPtr& error);
    std::optional<BgraView> readScaled(ErrorPtr& error, bool& tried);
    bool checkMonitor(ErrorPtr& error);
    void drawPointerOver(const BgraView& view, std::int64_t originX, std::int64_t originY,
                         double ratioX, double ratioY);
    std::shared_ptr<const PixelBuffer> compose(const BgraView& view);
    void deliver(const SampleBufferPtr& sample, bool whenBehindSkip);

    const std::shared_ptr<const ContentFilter> filter_;
    const std::shared_ptr<const StreamConfiguration> configuration_;
    const std::shared_ptr<StreamDelegate> delegate_;

    std::mutex outputsMutex_;
    std::vector<Registration> outputs_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;

    // Everything below belongs to the capture thread once it runs.
    std::shared_ptr<Connection> connection_;
    std::unique_ptr<Grabber> grabber_;
    std::unique_ptr<ServerScaler> serverScaler_;
    Bytes pointer_;
    xcb_window_t window_ = XCB_WINDOW_NONE;
    DisplayID display_ = 0;
    Monitor monitor_;
    Clock::time_point lastMonitorCheck_;
    Clock::duration interval_{};
    bool showsCursor_ = true;
    bool keepAspect_ = true;
    std::shared_ptr<PixelPool> pool_;
    xcb_damage_damage_t damage_ = 0;
    std::uint8_t damageEvent_ = 0;
    std::uint8_t cursorEvent_ = 0;
    bool changed_ = true;
    bool windowDestroyed_ = false;
    std::int16_t pointerX_ = 0;
    std::int16_t pointerY_ = 0;
    std::optional<Placement> placement_;
    std::unique_ptr<Scaler> scaler_;
    Bytes scaled_;
};

void ScreenStream::prepare(ErrorPtr& error) {
    if (!filter_ || (!filter_->window && !filter_->display)) {
        error = streamError(streamNotStarted, "the filter names nothing to capture");
        return;
    }
    const StreamConfiguration none;
    const StreamConfiguration& c = configuration_ ? *configuration_ : none;
    if (c.pixelFormat && *c.pixelFormat != pixelFormat420v) {
        error = streamError(streamUnsupported, "only 420v pictures can be streamed");
        return;
    }
    connection_ = Connection::open(error);
    if (!connection_) {
        return;
    }
    xcb_connection_t* x = connection_->get();
    if (!connection_->hasExtension(&xcb_damage_id) || !connection_->hasExtension(&xcb_xfixes_id)) {
        error = streamError(streamUnsupported, "the X server lacks the DAMAGE or XFIXES extension");
        return;
    }
    Reply<xcb_xfixes_query_version_reply_t> fixes(
        xcb_xfixes_query_version_reply(x, xcb_xfixes_query_version(x, 4, 0), nullptr));
    Reply<xcb_damage_query_version_reply_t> damage(
        xcb_damage_query_version_reply(x, xcb_damage_query_version(x, 1, 1), nullptr));
    if (!fixes || !damage) {
        error = streamError(streamUnsupported, "the X server lacks the DAMAGE or XFIXES extension");
        return;
    }
    damageEvent_ = xcb_get_extension_data(x, &xcb_damage_id)->first_event + XCB_DAMAGE_NOTIFY;
    cursorEvent_ =
        xcb_get_extension_data(x, &xcb_xfixes_id)->first_event + XCB_XFIXES_CURSOR_NOTIFY;
    grabber_ = std::make_unique<Grabber>(connection_);
    serverScaler_ = ServerScaler::create(connection_);

    xcb_drawable_t watched = connection_->root();
    if (filter_->window) {
        window_ = filter_->window->windowID;
        // Destruction is seen as an event, not only as a failed read.
        std::uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
        Reply<xcb_generic_error_t> problem(xcb_request_check(
            x, xcb_change_window_attributes_checked(x, window_, XCB_CW_EVENT_MASK, &mask)));
        if (problem || !grabber_->redirect(window_, error)) {
            if (!error) {
                error = streamError(streamWindowDestroyed, "the window no longer exists");
            }
            return;
        }
        watched = window_;
    } else {
        display_ = filter_->display->displayID;
        if (connection_->xwayland()) {
            error = streamError(grabWaylandSession, std::string(waylandDisplayRefusal));
            return;
        }
        if (!checkMonitor(error)) {
            return;
        }
    }
    damage_ = xcb_generate_id(x);
    xcb_discard_reply(
        x,
        xcb_damage_create_checked(x, damage_, watched, XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY).sequence);
    showsCursor_ = c.showsCursor.value_or(true);
    if (showsCursor_) {
        xcb_discard_reply(
            x, xcb_xfixes_select_cursor_input_checked(x, connection_->root(),
                                                      XCB_XFIXES_CURSOR_NOTIFY_MASK_DISPLAY_CURSOR)
                   .sequence);
    }
    keepAspect_ = c.preservesAspectRatio.value_or(true);
    double seconds = 1.0 / 60;
    if (c.minimumFrameInterval && c.minimumFrameInterval->timescale > 0 &&
        c.minimumFrameInterval->value > 0) {
        seconds =
            static_cast<double>(c.minimumFrameInterval->value) / c.minimumFrameInterval->timescale;
    }
    interval_ = std::max<Clock::duration>(
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds)),
        shortestTick);

    // One read now, so that pixels this stream can never convert fail the start instead of
    // leaving it waiting for a picture that never comes. A window that is merely unmapped or
    // off the screen now may still show later. Without a configured size, the size of this
    // first picture is the frame size.
    auto first = read(error);
    if (!first && error && error->code != grabWindowUnmapped && error->code != grabOffScreen) {
        return;
    }
    error.reset();
    std::int64_t width = c.width.value_or(0);
    std::int64_t height = c.height.value_or(0);
    if (width < 1 || height < 1) {
        if (!first) {
            error = streamError(streamNotStarted, "there is no picture to take the size from");
            return;
        }
        width = static_cast<std::int64_t>(first->width);
        height = static_cast<std::int64_t>(first->height);
    }
    std::size_t depth = static_cast<std::size_t>(std::clamp(c.queueDepth.value_or(3), 1, 8));
    pool_ = std::make_shared<PixelPool>(static_cast<std::size_t>(width),
                                        static_cast<std::size_t>(height), depth);
    xcb_flush(x);
}

bool ScreenStream::checkMonitor(ErrorPtr& error) {
    lastMonitorCheck_ = Clock::now();
    for (const Monitor& m : monitors(*connection_)) {
        if (m.name == display_) {
            if (m.x != monitor_.x || m.y != monitor_.y || m.width != monitor_.width ||
                m.height != monitor_.height) {
                changed_ = true;
            }
            monitor_ = m;
            return true;
        }
    }
    error = streamError(streamDisplayGone, "the display was disconnected");
    return false;
}

void ScreenStream::run(const std::weak_ptr<ScreenStream>& stream) {
    auto next = Clock::now();
    for (;;) {
        {
            // Held only for a tick: the stream may go between ticks, and then this ends.
            auto self = stream.lock();
            if (!self || self->stopping_) {
                return;
            }
            ErrorPtr error;
            bool going = false;
            try {
                going = self->tick(error);
            } catch (const std::bad_alloc&) {
                error = streamError(streamNoMemory, "not enough memory for the stream's frames");
            }
            if (!going) {
                // The stream is over: the delegate hears why, once, from this thread.
                self->delegate_->streamDidStopWithError(*self, error);
                return;
            }
            next += self->interval_;
        }
        auto now = Clock::now();
        // A slow read is not made up for with a burst of reads.
        if (next < now) {
            next = now;
        }
        std::this_thread::sleep_until(next);
    }
}

void ScreenStream::takeEvents(ErrorPtr& error) {
    xcb_connection_t* x = connection_->get();
    while (xcb_generic_event_t* event = xcb_poll_for_event(x)) {
        std::uint8_t type = event->response_type & 0x7f;
        if (type == damageEvent_) {
            changed_ = true;
        } else if (type == cursorEvent_) {
            changed_ = changed_ || showsCursor_;
        } else if (type == XCB_DESTROY_NOTIFY &&
                   reinterpret_cast<xcb_destroy_notify_event_t*>(event)->window == window_) {
            windowDestroyed_ = true;
        }
        std::free(event);
    }
    if (xcb_connection_has_error(x)) {
        error = streamError(streamServerGone, "the display went away: the X server connection "
                                              "was lost");
    } else if (window_ != XCB_WINDOW_NONE && windowDestroyed_) {
        error = streamError(streamWindowDestroyed, "the window was destroyed");
    }
}

bool ScreenStream::pointerMoved() {
    xcb_connection_t* x = connection_->get();
    Reply<xcb_query_pointer_reply_t> pointer(
        xcb_query_pointer_reply(x, xcb_query_pointer(x, connection_->root()), nullptr));
    if (!pointer || (pointer->root_x == pointerX_ && pointer->root_y == pointerY_)) {
        return false;
    }
    pointerX_ = pointer->root_x;
    pointerY_ = pointer->root_y;
    return true;
}

std::optional<BgraView> ScreenStream::read(ErrorPtr& error) {
    if (window_ != XCB_WINDOW_NONE) {
        return grabber_->window(window_, error);
    }
    return grabber_->root(monitor_.x, monitor_.y, monitor_.width, monitor_.height, error);
}

void ScreenStream::drawPointerOver(const BgraView& view, std::int64_t originX, std::int64_t originY,
                                   double ratioX, double ratioY) {
    xcb_connection_t* x = connection_->get();
    Reply<xcb_xfixes_get_cursor_image_reply_t> image(
        xcb_xfixes_get_cursor_image_reply(x, xcb_xfixes_get_cursor_image(x), nullptr));
    if (!image || image->width == 0 || image->height == 0 ||
        xcb_xfixes_get_cursor_image_cursor_image_length(image.get()) <
            static_cast<int>(image->width) * image->height) {
        return;
    }
    const std::uint32_t* argb = xcb_xfixes_get_cursor_image_cursor_image(image.get());
    std::size_t width = image->width;
    std::size_t height = image->height;
    double left = static_cast<double>(image->x - image->xhot - originX);
    double top = static_cast<double>(image->y - image->yhot - originY);
    if (ratioX != 1 || ratioY != 1) {
        // The pointer shrinks or grows with the picture, by its nearest pixels. Only the part
        // that lands inside the picture is made: a small window streamed large would
        // otherwise grow the pointer far beyond the frame.
        double scaledLeft = std::floor(left / ratioX);
        double scaledTop = std::floor(top / ratioY);
        double scaledRight = scaledLeft + std::max(1.0, std::round(width / ratioX));
        double scaledBottom = scaledTop + std::max(1.0, std::round(height / ratioY));
        double visibleLeft = std::max(scaledLeft, 0.0);
        double visibleTop = std::max(scaledTop, 0.0);
        double visibleRight = std::min(scaledRight, static_cast<double>(view.width));
        double visibleBottom = std::min(scaledBottom, static_cast<double>(view.height));
        if (visibleRight <= visibleLeft || visibleBottom <= visibleTop) {
            return;
        }
        auto visibleWidth = static_cast<std::size_t>(visibleRight - visibleLeft);
        auto visibleHeight = static_cast<std::size_t>(visibleBottom - visibleTop);
        auto skipX = static_cast<std::size_t>(visibleLeft - scaledLeft);
        auto skipY = static_cast<std::size_t>(visibleTop - scaledTop);
        pointer_.resize(visibleWidth * visibleHeight * 4);
        auto* to = reinterpret_cast<std::uint32_t*>(pointer_.data());
        for (std::size_t py = 0; py < visibleHeight; ++py) {
            auto from = std::min(height - 1, static_cast<std::size_t>((py + skipY) * ratioY));
            for (std::size_t px = 0; px < visibleWidth; ++px) {
                to[py * visibleWidth + px] =
                    argb[from * width +
                         std::min(width - 1, static_cast<std::size_t>((px + skipX) * ratioX))];
            }
        }
        argb = to;
        width = visibleWidth;
        height = visibleHeight;
        left = visibleLeft;
        top = visibleTop;
    }
    // The pixels are the Grabber's own copy of the picture, ours to draw on until the next read.
    auto* pixels = const_cast<std::uint8_t*>(view.data);
    drawPointer(pixels, view.width, view.height, view.bytesPerRow, argb, width, height,
                std::llround(std::floor(left)), std::llround(std::floor(top)));
}

std::optional<BgraView> ScreenStream::readScaled(ErrorPtr& error, bool& tried) {
    tried = false;
    xcb_connection_t* x = connection_->get();
    xcb_drawable_t drawable = connection_->root();
    xcb_visualid_t visual = connection_->screen().root_visual;
    int left = monitor_.x;
    int top = monitor_.y;
    int width = monitor_.width;
    int height = monitor_.height;
    std::int64_t originX = monitor_.x;
    std::int64_t originY = monitor_.y;
    if (window_ != XCB_WINDOW_NONE) {
        auto attributesCookie = xcb_get_window_attributes(x, window_);
        auto geometryCookie = xcb_get_geometry(x, window_);
        auto originCookie = xcb_translate_coordinates(x, window_, connection_->root(), 0, 0);
        // Asked each time with the rest, so a resize that changes the margin costs nothing
        // extra.
        auto extentsCookie = askFrameExtents(*connection_, window_);
        Reply<xcb_get_window_attributes_reply_t> attributes(
            xcb_get_window_attributes_reply(x, attributesCookie, nullptr));
        Reply<xcb_get_geometry_reply_t> geometry(
            xcb_get_geometry_reply(x, geometryCookie, nullptr));
        Reply<xcb_translate_coordinates_reply_t> origin(
            xcb_translate_coordinates_reply(x, originCookie, nullptr));
        Insets margin = frameExtents(*connection_, extentsCookie, geometry ? geometry->width : 0,
                                     geometry ? geometry->height : 0);
        if (!attributes || !geometry || !origin ||
            attributes->map_state != XCB_MAP_STATE_VIEWABLE) {
            // The plain read tells a window that is gone from one that is only hidden.
            return std::nullopt;
        }
        drawable = window_;
        visual = attributes->visual;
        left = margin.left;
        top = margin.top;
        width = geometry->width - margin.left - margin.right;
        height = geometry->height - margin.top - margin.bottom;
        originX = origin->dst_x + margin.left;
        originY = origin->dst_y + margin.top;
    }
    Placement where = place(static_cast<std::size_t>(width), static_cast<std::size_t>(height),
                            pool_->width, pool_->height, keepAspect_);
    // Only worth it when there is scaling to do, and only within what a pixmap can hold.
    if ((where.width == static_cast<std::size_t>(width) &&
         where.height == static_cast<std::size_t>(height)) ||
        where.width > 32767 || where.height > 32767) {
        return std::nullopt;
    }
    auto pixmap =
        serverScaler_->scale(drawable, visual, left, top, width, height,
                             static_cast<int>(where.width), static_cast<int>(where.height));
    if (!pixmap) {
        return std::nullopt;
    }
    tried = true;
    auto view = grabber_->drawable(*pixmap, static_cast<int>(where.width),
                                   static_cast<int>(where.height), error);
    if (view && showsCursor_) {
        drawPointerOver(*view, originX, originY, static_cast<double>(width) / where.width,
                        static_cast<double>(height) / where.height);
    }
    return view;
}

std::shared_ptr<const PixelBuffer> ScreenStream::compose(const BgraView& view) {
    auto slot = pool_->take();
    if (!slot) {
        return nullptr;
    }
    Placement where = place(view.width, view.height, pool_->width, pool_->height, keepAspect_);
    if (where != placement_) {
        placement_ = where;
        scaler_.reset();
    }
    NV12Target whole{pool_->luma(*slot), pool_->bytesPerRow, pool_->chroma(*slot),
                     pool_->bytesPerRow};
    if (slot->painted != where) {
        paintBlack(whole, pool_->width, pool_->height);
        slot->painted = where;
    }
    NV12Target target{whole.luma + where.y * whole.lumaBytesPerRow + where.x, whole.lumaBytesPerRow,
                      whole.chroma + where.y / 2 * whole.chromaBytesPerRow + where.x,
                      whole.chromaBytesPerRow};
    if (view.width == where.width && view.height == where.height) {
        convertToNV12(view, target);
    } else {
        if (!scaler_ || scaler_->sourceWidth() != view.width ||
            scaler_->sourceHeight() != view.height) {
            scaler_ = std::make_unique<Scaler>(view.width, view.height, where.width, where.height);
            scaled_.resize(where.width * where.height * 4);
        }
        scaler_->scale(view, scaled_.data(), where.width * 4);
        convertToNV12({scaled_.data(), where.width, where.height, where.width * 4}, target);
    }
    auto picture = std::make_shared<PixelBuffer>();
    picture->planes = {{pool_->luma(*slot), pool_->bytesPerRow, pool_->height},
                       {pool_->chroma(*slot), pool_->bytesPerRow, pool_->chromaRows}};
    picture->storage = std::move(slot);
    return picture;
}

bool ScreenStream::tick(ErrorPtr& error) {
    takeEvents(error);
    if (error) {
        return false;
    }
    if (display_ && Clock::now() - lastMonitorCheck_ >= monitorCheck && !checkMonitor(error)) {
        return false;
    }
    if (showsCursor_ && pointerMoved()) {
        changed_ = true;
    }
    if (!changed_) {
        deliver(sample(nullptr, FrameStatus::idle), true);
        return true;
    }
    xcb_connection_t* x = connection_->get();
    // Taken away before the read, so drawing during the read reports itself again.
    xcb_discard_reply(x, xcb_damage_subtract_checked(x, damage_, XCB_NONE, XCB_NONE).sequence);
    bool scaledByServer = false;
    std::optional<BgraView> view;
    if (serverScaler_) {
        view = readScaled(error, scaledByServer);
    }
    if (!scaledByServer) {
        view = read(error);
        if (view && showsCursor_) {
            std::int64_t originX = monitor_.x;
            std::int64_t originY = monitor_.y;
            if (window_ != XCB_WINDOW_NONE) {
                xcb_connection_t* c = connection_->get();
                Reply<xcb_translate_coordinates_reply_t> origin(xcb_translate_coordinates_reply(
                    c, xcb_translate_coordinates(c, window_, connection_->root(), 0, 0), nullptr));
                // The picture starts past the window's shadow margin, if it has one.
                originX = (origin ? origin->dst_x : 0) + grabber_->offsetX();
                originY = (origin ? origin->dst_y : 0) + grabber_->offsetY();
            } else {
                // The read clips the monitor's rectangle to the screen.
                originX = std::max<std::int64_t>(originX, 0);
                originY = std::max<std::int64_t>(originY, 0);
            }
            drawPointerOver(*view, originX, originY, 1, 1);
        }
    }
    if (!view) {
        if (error && error->code == grabWindowGone) {
            error = streamError(streamWindowDestroyed, "the window was destroyed");
            return false;
        }
        if (xcb_connection_has_error(x)) {
            error = streamError(streamServerGone,
                                "the display went away: the X server connection was lost");
            return false;
        }
        if (error && error->code == grabUnsupported) {
            return false;
        }
        // Unmapped, or off the screen for now: nothing to show until it is back.
        error.reset();
        deliver(sample(nullptr, FrameStatus::idle), true);
        return true;
    }
    auto picture = compose(*view);
    if (!picture) {
        // Every buffer is still held downstream: this picture is dropped, and the next tick
        // reads afresh.
        return true;
    }
    changed_ = false;
    deliver(sample(std::move(picture), FrameStatus::complete), false);
    return true;
}

void ScreenStream::deliver(const SampleBufferPtr& buffer, bool whenBehindSkip) {
    std::vector<Registration> outputs;
    {
        std::lock_guard lock(outputsMutex_);
        outputs = outputs_;
    }
    for (const auto& r : outputs) {
        // Idle frames carry nothing; a consumer that is behind need not see them.
        if (whenBehindSkip && r.queue->pending() > 0) {
            continue;
        }
        r.queue->async([self = shared_from_this(), output = r.output, buffer] {
            output->streamDidOutputSampleBuffer(*self, buffer, OutputType::screen);
        });
    }
}

} // namespace

std::shared_ptr<Stream> createScreenStream(std::shared_ptr<const ContentFilter> filter,
                                           std::shared_ptr<const StreamConfiguration> configuration,
                                           std::shared_ptr<StreamDelegate> delegate) {
    return std::make_shared<ScreenStream>(std::move(filter), std::move(configuration),
                                          std::move(delegate));
}

} // namespace lumatap::x11
