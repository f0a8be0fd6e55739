// Capture streams of a monitor or a window.
//
// Each stream has a thread of its own, with a connection of its own. It reads the picture only
// when something changed (the DAMAGE extension reports drawing, with the rectangles drawn;
// the pointer is polled when it is shown), and then only the changed rectangles, through
// shared memory; they are scaled and converted into the stream's NV12 picture (FrameComposer),
// made in the pool buffer that is then delivered whole as a complete frame. A change after a
// quiet spell is read as soon as it is reported, though never sooner than the minimum frame
// interval after the last read. Otherwise each interval delivers an idle frame without a
// picture, as a screen that stands still produces nothing new.
//
// All scaling happens here, not in the X server: measured as the whole cost, ours and the
// server's, on a server that draws in software, reading the picture and scaling it with the
// vectorised pass costs less than the server's RENDER filter even when everything changed,
// and far less when only a part did.
#include "capture/x11/stream.h"

#include "capture/media/compose.h"
#include "capture/media/picture_stream.h"
#include "capture/media/pixel_pool.h"
#include "capture/x11/connection.h"
#include "capture/x11/frame_extents.h"
#include "capture/x11/grab.h"
#include "capture/x11/windows.h"

#include <chrono>
#include <cmath>
#include <cstring>
#include <new>
#include <poll.h>
#include <thread>
#include <xcb/damage.h>
#include <xcb/xfixes.h>

namespace lumatap::x11 {
namespace {

using Clock = std::chrono::steady_clock;

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

class ScreenStream : public media::PictureStream {
  public:
    ScreenStream(std::shared_ptr<const ContentFilter> filter,
                 std::shared_ptr<const StreamConfiguration> configuration,
                 std::shared_ptr<StreamDelegate> delegate)
        : media::PictureStream(std::move(delegate), {std::string(errorDomain), streamNoOutput,
                                                     streamNotStarted, streamNoMemory}),
          filter_(std::move(filter)), configuration_(std::move(configuration)) {}

  private:
    // Where the source's pixel (0, 0) is on the root window.
    struct Origin {
        std::int64_t x = 0;
        std::int64_t y = 0;
    };
    // What the pointer looks like now, and where its image lies in source coordinates.
    struct Pointer {
        const xcb_xfixes_get_cursor_image_reply_t* image = nullptr; // the stream's cursor_
        std::int64_t left = 0;
        std::int64_t top = 0;
        std::size_t width = 0;
        std::size_t height = 0;
    };

    void prepare(ErrorPtr& error) override;
    std::function<void()> capture() override {
        return [stream = weakSelf<ScreenStream>()] { run(stream); };
    }
    static void run(const std::weak_ptr<ScreenStream>& stream);
    bool tick(ErrorPtr& error);
    void takeEvents(ErrorPtr& error);
    xcb_xfixes_fetch_region_cookie_t askDamage();
    void takeDamage(xcb_xfixes_fetch_region_cookie_t cookie);
    void takePointer(xcb_query_pointer_cookie_t cookie);
    void askCursorImage();
    // The pointer's image, asked again only after the server said it changed; none when the
    // server has none to give.
    const xcb_xfixes_get_cursor_image_reply_t* cursorImage();
    std::optional<media::BgraView> read(ErrorPtr& error);
    bool checkMonitor(ErrorPtr& error);
    std::optional<Pointer> pointer(const Origin& origin);
    void drawPointer(const Pointer& pointer, const media::BgraView& view, std::size_t viewX,
                     std::size_t viewY);
    // Reads what changed into the composer; false with `error` set when nothing could be read.
    bool update(const std::vector<media::Area>& changed, ErrorPtr& error);
    bool updateRoot(std::vector<media::Area> changed, ErrorPtr& error);
    bool updateWindow(std::vector<media::Area> changed, ErrorPtr& error);
    std::vector<media::Area> pendingInSource(const Origin& origin) const;

    const std::shared_ptr<const ContentFilter> filter_;
    const std::shared_ptr<const StreamConfiguration> configuration_;

    // Everything below belongs to the capture thread once it runs.
    std::shared_ptr<Connection> connection_;
    std::unique_ptr<Grabber> grabber_;
    Bytes pointer_;
    xcb_window_t window_ = XCB_WINDOW_NONE;
    DisplayID display_ = 0;
    Monitor monitor_;
    Clock::time_point lastMonitorCheck_;
    Clock::duration interval_{};
    bool showsCursor_ = true;
    bool keepAspect_ = true;
    std::shared_ptr<media::PixelPool> pool_;
    xcb_damage_damage_t damage_ = 0;
    std::uint8_t damageEvent_ = 0;
    std::uint8_t cursorEvent_ = 0;
    bool changed_ = true;
    bool windowDestroyed_ = false;
    // Where the server last said the pointer is, on the root window.
    std::int16_t pointerX_ = 0;
    std::int16_t pointerY_ = 0;
    std::unique_ptr<media::FrameComposer> composer_;
    xcb_xfixes_region_t region_ = XCB_NONE;
    // Damaged rectangles in the drawable's coordinates, not yet in a delivered frame.
    std::vector<xcb_rectangle_t> pending_;
    // Everything must be read again (first frame, a monitor that moved, a window back).
    bool whole_ = true;
    bool cursorChanged_ = true;
    // The pointer moved since the last picture was made.
    bool moved_ = false;
    // The pointer's image as last answered, and an ask not yet taken; stale once the server
    // reports another.
    Reply<xcb_xfixes_get_cursor_image_reply_t> cursor_;
    std::optional<xcb_xfixes_get_cursor_image_cookie_t> cursorAsked_;
    bool cursorStale_ = true;
    // The pointer's box in the kept picture, in source coordinates.
    std::optional<media::Area> pointerBox_;
    Clock::time_point lastRead_;
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
    // The X server does not scale for us: measured on Xvfb against the vectorised pass here,
    // reading the picture and scaling it here costs less in all (our CPU and the server's) than the
    // server's RENDER filter even when all of it changes: for a 1920x1080 screen into 1280x720 2.1
    // against 2.8 ms a frame, for 3840x2160 into 1920x1080 6.0 against 6.2
    // (bench/video_vs_ffmpeg.sh), for a window as large 2.1 against 2.6.
    region_ = xcb_generate_id(x);
    xcb_discard_reply(x, xcb_xfixes_create_region_checked(x, region_, 0, nullptr).sequence);

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
    interval_ = media::frameInterval(c);

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
    pool_ = std::make_shared<media::PixelPool>(static_cast<std::size_t>(width),
                                               static_cast<std::size_t>(height), depth);
    composer_ = std::make_unique<media::FrameComposer>(
        static_cast<std::size_t>(width), static_cast<std::size_t>(height), keepAspect_);
    xcb_flush(x);
}

bool ScreenStream::checkMonitor(ErrorPtr& error) {
    lastMonitorCheck_ = Clock::now();
    for (const Monitor& m : monitors(*connection_)) {
        if (m.id == display_) {
            if (m.x != monitor_.x || m.y != monitor_.y || m.width != monitor_.width ||
                m.height != monitor_.height) {
                changed_ = true;
                whole_ = true;
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
        // Held only for a tick: the stream may go between ticks, and then this ends.
        auto self = stream.lock();
        if (!self || self->stopping()) {
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
        auto now = Clock::now();
        // A slow read is not made up for with a burst of reads.
        if (next < now) {
            next = now;
        }
        // The next tick comes at `next`, or sooner when the server reports drawing meanwhile,
        // though never sooner than the minimum interval after the last read: a change after a
        // quiet spell is read at once, not a whole interval later.
        auto soonest = self->lastRead_ + self->interval_;
        bool reported = self->changed_;
        auto connection = self->connection_;
        // The wait holds only the connection, so that a stream let go meanwhile can end.
        self.reset();
        if (reported) {
            next = std::min(next, std::max(soonest, Clock::now()));
        } else {
            // Drawing reported before the soonest read waits for it anyway: sleeping until then
            // first saves waking for the report and again for the read.
            std::this_thread::sleep_until(std::min(soonest, next));
            pollfd fd{xcb_get_file_descriptor(connection->get()), POLLIN, 0};
            auto left = std::chrono::ceil<std::chrono::milliseconds>(next - Clock::now());
            if (left.count() > 0 && poll(&fd, 1, static_cast<int>(left.count())) > 0) {
                next = std::max(soonest, Clock::now());
            }
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
        } else if (type == cursorEvent_ && showsCursor_) {
            changed_ = true;
            cursorChanged_ = true;
            cursorStale_ = true;
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

void ScreenStream::takePointer(xcb_query_pointer_cookie_t cookie) {
    Reply<xcb_query_pointer_reply_t> pointer(
        xcb_query_pointer_reply(connection_->get(), cookie, nullptr));
    if (!pointer || (pointer->root_x == pointerX_ && pointer->root_y == pointerY_)) {
        return;
    }
    pointerX_ = pointer->root_x;
    pointerY_ = pointer->root_y;
    moved_ = true;
}

void ScreenStream::askCursorImage() {
    xcb_connection_t* x = connection_->get();
    if (cursorAsked_) {
        xcb_discard_reply(x, cursorAsked_->sequence);
    }
    cursorAsked_ = xcb_xfixes_get_cursor_image(x);
    cursorStale_ = false;
}

const xcb_xfixes_get_cursor_image_reply_t* ScreenStream::cursorImage() {
    if (cursorStale_) {
        askCursorImage();
    }
    if (cursorAsked_) {
        cursor_.reset(
            xcb_xfixes_get_cursor_image_reply(connection_->get(), *cursorAsked_, nullptr));
        cursorAsked_.reset();
    }
    if (!cursor_ || cursor_->width == 0 || cursor_->height == 0 ||
        xcb_xfixes_get_cursor_image_cursor_image_length(cursor_.get()) <
            static_cast<int>(cursor_->width) * cursor_->height) {
        return nullptr;
    }
    return cursor_.get();
}

std::optional<media::BgraView> ScreenStream::read(ErrorPtr& error) {
    if (window_ != XCB_WINDOW_NONE) {
        return grabber_->window(window_, error);
    }
    return grabber_->root(monitor_.x, monitor_.y, monitor_.width, monitor_.height, error);
}

xcb_xfixes_fetch_region_cookie_t ScreenStream::askDamage() {
    xcb_connection_t* x = connection_->get();
    // Taken away before the read, so drawing during the read reports itself again.
    xcb_discard_reply(x, xcb_damage_subtract_checked(x, damage_, XCB_NONE, region_).sequence);
    return xcb_xfixes_fetch_region(x, region_);
}

void ScreenStream::takeDamage(xcb_xfixes_fetch_region_cookie_t cookie) {
    Reply<xcb_xfixes_fetch_region_reply_t> region(
        xcb_xfixes_fetch_region_reply(connection_->get(), cookie, nullptr));
    if (!region) {
        whole_ = true;
        return;
    }
    const xcb_rectangle_t* rectangles = xcb_xfixes_fetch_region_rectangles(region.get());
    int count = xcb_xfixes_fetch_region_rectangles_length(region.get());
    // A flood of small rectangles is read as one box anyway; the list need not grow without
    // bound while frames are dropped.
    if (pending_.size() + static_cast<std::size_t>(count) > 256) {
        whole_ = true;
        pending_.clear();
        return;
    }
    pending_.insert(pending_.end(), rectangles, rectangles + count);
}

std::vector<media::Area> ScreenStream::pendingInSource(const Origin& shift) const {
    std::vector<media::Area> changed;
    for (const xcb_rectangle_t& r : pending_) {
        std::int64_t left = std::max<std::int64_t>(r.x - shift.x, 0);
        std::int64_t top = std::max<std::int64_t>(r.y - shift.y, 0);
        std::int64_t right = std::int64_t{r.x} + r.width - shift.x;
        std::int64_t bottom = std::int64_t{r.y} + r.height - shift.y;
        if (right > left && bottom > top) {
            changed.push_back({static_cast<std::size_t>(left), static_cast<std::size_t>(top),
                               static_cast<std::size_t>(right - left),
                               static_cast<std::size_t>(bottom - top)});
        }
    }
    return changed;
}

std::optional<ScreenStream::Pointer> ScreenStream::pointer(const Origin& origin) {
    Pointer p;
    p.image = cursorImage();
    if (!p.image) {
        return std::nullopt;
    }
    p.left = pointerX_ - p.image->xhot - origin.x;
    p.top = pointerY_ - p.image->yhot - origin.y;
    p.width = p.image->width;
    p.height = p.image->height;
    return p;
}

void ScreenStream::drawPointer(const Pointer& p, const media::BgraView& view, std::size_t viewX,
                               std::size_t viewY) {
    // The pixels are the Grabber's own copy of the picture, ours to draw on until the next read.
    media::drawPointer(const_cast<std::uint8_t*>(view.data), view.width, view.height,
                       view.bytesPerRow, xcb_xfixes_get_cursor_image_cursor_image(p.image), p.width,
                       p.height, p.left - static_cast<std::int64_t>(viewX),
                       p.top - static_cast<std::int64_t>(viewY));
}

// The pointer's box, clipped to a source of the given size.
std::optional<media::Area> boxOf(std::int64_t left, std::int64_t top, std::size_t width,
                                 std::size_t height, std::size_t sourceWidth,
                                 std::size_t sourceHeight) {
    std::int64_t x0 = std::max<std::int64_t>(left, 0);
    std::int64_t y0 = std::max<std::int64_t>(top, 0);
    std::int64_t x1 = std::min<std::int64_t>(left + static_cast<std::int64_t>(width),
                                             static_cast<std::int64_t>(sourceWidth));
    std::int64_t y1 = std::min<std::int64_t>(top + static_cast<std::int64_t>(height),
                                             static_cast<std::int64_t>(sourceHeight));
    if (x1 <= x0 || y1 <= y0) {
        return std::nullopt;
    }
    return media::Area{static_cast<std::size_t>(x0), static_cast<std::size_t>(y0),
                       static_cast<std::size_t>(x1 - x0), static_cast<std::size_t>(y1 - y0)};
}

bool ScreenStream::updateRoot(std::vector<media::Area> changed, ErrorPtr& error) {
    const xcb_screen_t& screen = connection_->screen();
    // The monitor's rectangle, clipped to the screen, is the source.
    std::int64_t left = std::max<std::int64_t>(monitor_.x, 0);
    std::int64_t top = std::max<std::int64_t>(monitor_.y, 0);
    std::int64_t right =
        std::min<std::int64_t>(std::int64_t{monitor_.x} + monitor_.width, screen.width_in_pixels);
    std::int64_t bottom =
        std::min<std::int64_t>(std::int64_t{monitor_.y} + monitor_.height, screen.height_in_pixels);
    if (right <= left || bottom <= top) {
        error =
            makeError(std::string(errorDomain), grabOffScreen, "the area lies outside the screen");
        return false;
    }
    Origin origin{left, top};
    composer_->setSource(static_cast<std::size_t>(right - left),
                         static_cast<std::size_t>(bottom - top));
    if (whole_) {
        composer_->invalidate();
    }
    auto extra = pendingInSource(origin);
    changed.insert(changed.end(), extra.begin(), extra.end());
    std::optional<Pointer> p;
    if (showsCursor_) {
        p = pointer(origin);
        std::optional<media::Area> box;
        if (p) {
            box = boxOf(p->left, p->top, p->width, p->height, composer_->sourceWidth(),
                        composer_->sourceHeight());
        }
        if (box != pointerBox_) {
            if (pointerBox_) {
                changed.push_back(*pointerBox_);
            }
            if (box) {
                changed.push_back(*box);
            }
        } else if (cursorChanged_ && box) {
            changed.push_back(*box);
        }
        pointerBox_ = box;
    }
    auto jobs = composer_->plan(changed);
    for (const auto& job : jobs) {
        auto view = grabber_->root(
            static_cast<int>(left + job.source.x), static_cast<int>(top + job.source.y),
            static_cast<int>(job.source.width), static_cast<int>(job.source.height), error);
        if (!view) {
            // What was made already stays right; the rest is read again next time.
            composer_->invalidate();
            return false;
        }
        if (p) {
            drawPointer(*p, *view, job.source.x, job.source.y);
        }
        composer_->update(job, *view, job.source.x, job.source.y);
    }
    return true;
}

bool ScreenStream::updateWindow(std::vector<media::Area> changed, ErrorPtr& error) {
    xcb_connection_t* x = connection_->get();
    auto originCookie = xcb_translate_coordinates(x, window_, connection_->root(), 0, 0);
    Reply<xcb_translate_coordinates_reply_t> where(
        xcb_translate_coordinates_reply(x, originCookie, nullptr));
    // The picture starts past the window's shadow margin, if it has one (as of the last read).
    Origin origin{(where ? where->dst_x : 0) + grabber_->offsetX(),
                  (where ? where->dst_y : 0) + grabber_->offsetY()};
    auto extra = pendingInSource({grabber_->offsetX(), grabber_->offsetY()});
    changed.insert(changed.end(), extra.begin(), extra.end());
    std::optional<Pointer> p;
    if (showsCursor_) {
        p = pointer(origin);
    }
    auto pointerChanges = [&] {
        if (!showsCursor_) {
            return;
        }
        std::optional<media::Area> box;
        if (p) {
            box = boxOf(p->left, p->top, p->width, p->height, composer_->sourceWidth(),
                        composer_->sourceHeight());
        }
        if (box != pointerBox_ || cursorChanged_) {
            if (pointerBox_) {
                changed.push_back(*pointerBox_);
            }
            if (box) {
                changed.push_back(*box);
            }
        }
        pointerBox_ = box;
    };
    std::optional<media::BgraView> view;
    std::vector<media::FrameComposer::Job> jobs;
    if (!whole_ && composer_->sourceWidth() > 0) {
        pointerChanges();
        jobs = composer_->plan(changed);
        if (jobs.empty()) {
            return true;
        }
        // One read of the box around every change: each read of a window costs several round
        // trips.
        media::Area box = jobs.front().source;
        for (const auto& job : jobs) {
            std::size_t right = std::max(box.x + box.width, job.source.x + job.source.width);
            std::size_t bottom = std::max(box.y + box.height, job.source.y + job.source.height);
            box.x = std::min(box.x, job.source.x);
            box.y = std::min(box.y, job.source.y);
            box.width = right - box.x;
            box.height = bottom - box.y;
        }
        view = grabber_->window(window_, static_cast<int>(box.x), static_cast<int>(box.y),
                                static_cast<int>(box.width), static_cast<int>(box.height), error);
        if (!view) {
            return false;
        }
        if (static_cast<std::size_t>(grabber_->contentWidth()) != composer_->sourceWidth() ||
            static_cast<std::size_t>(grabber_->contentHeight()) != composer_->sourceHeight() ||
            origin.x != (where ? where->dst_x : 0) + grabber_->offsetX() ||
            origin.y != (where ? where->dst_y : 0) + grabber_->offsetY()) {
            // Resized, or its margin changed, since the last read: all of it is read again.
            view.reset();
            jobs.clear();
        }
    }
    if (!view) {
        view = grabber_->window(window_, error);
        if (!view) {
            return false;
        }
        origin = {(where ? where->dst_x : 0) + grabber_->offsetX(),
                  (where ? where->dst_y : 0) + grabber_->offsetY()};
        if (p) {
            p->left = pointerX_ - p->image->xhot - origin.x;
            p->top = pointerY_ - p->image->yhot - origin.y;
        }
        composer_->setSource(view->width, view->height);
        composer_->invalidate();
        pointerChanges();
        jobs = composer_->plan({});
    }
    const auto viewX = static_cast<std::size_t>(grabber_->partX());
    const auto viewY = static_cast<std::size_t>(grabber_->partY());
    if (p) {
        drawPointer(*p, *view, viewX, viewY);
    }
    for (const auto& job : jobs) {
        composer_->update(job, *view, viewX, viewY);
    }
    return true;
}

bool ScreenStream::update(const std::vector<media::Area>& changed, ErrorPtr& error) {
    bool done =
        window_ != XCB_WINDOW_NONE ? updateWindow(changed, error) : updateRoot(changed, error);
    if (done) {
        whole_ = false;
        cursorChanged_ = false;
        moved_ = false;
        pending_.clear();
    }
    return done;
}

bool ScreenStream::tick(ErrorPtr& error) {
    takeEvents(error);
    if (error) {
        return false;
    }
    if (display_ && Clock::now() - lastMonitorCheck_ >= monitorCheck && !checkMonitor(error)) {
        return false;
    }
    xcb_connection_t* x = connection_->get();
    // Every buffer is still held downstream: nothing is read now, and what changed (the
    // damage stays with the server, a move in moved_) is read at a later tick.
    std::shared_ptr<media::PixelPool::Slot> slot;
    if (changed_ || whole_) {
        slot = pool_->take();
        if (!slot) {
            return true;
        }
    }
    // Asked together, so the pointer, what was drawn and a new pointer image cost one round
    // trip between them.
    std::optional<xcb_query_pointer_cookie_t> pointerAsked;
    if (showsCursor_) {
        pointerAsked = xcb_query_pointer(x, connection_->root());
        if (cursorStale_ && slot) {
            askCursorImage();
        }
    }
    std::optional<xcb_xfixes_fetch_region_cookie_t> damageAsked;
    if (changed_) {
        damageAsked = askDamage();
    }
    if (pointerAsked) {
        takePointer(*pointerAsked);
    }
    if (damageAsked) {
        takeDamage(*damageAsked);
    }
    if (!slot) {
        if (!moved_) {
            deliver(media::sample(nullptr, FrameStatus::idle), true);
            return true;
        }
        slot = pool_->take();
        if (!slot) {
            return true;
        }
    }
    changed_ = false;
    lastRead_ = Clock::now();
    // Made straight in the buffer that is sent; a frame left unfinished leaves it holding none.
    composer_->begin(pool_->luma(*slot), slot->frame);
    if (!update({}, error)) {
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
        // Unmapped, or off the screen for now: nothing to show until it is back, and then all
        // of it.
        error.reset();
        whole_ = true;
        pending_.clear();
        deliver(media::sample(nullptr, FrameStatus::idle), true);
        return true;
    }
    slot->frame = composer_->finish();
    auto picture = std::make_shared<PixelBuffer>();
    picture->planes = {{pool_->luma(*slot), pool_->bytesPerRow, pool_->height},
                       {pool_->chroma(*slot), pool_->bytesPerRow, pool_->chromaRows}};
    picture->storage = std::move(slot);
    deliver(media::sample(std::move(picture), FrameStatus::complete), false);
    // Events that came in with the replies of this tick would otherwise wait unseen in the
    // connection's queue until the next tick.
    ErrorPtr later;
    takeEvents(later);
    return true;
}

} // namespace

std::shared_ptr<Stream> createScreenStream(std::shared_ptr<const ContentFilter> filter,
                                           std::shared_ptr<const StreamConfiguration> configuration,
                                           std::shared_ptr<StreamDelegate> delegate) {
    return std::make_shared<ScreenStream>(std::move(filter), std::move(configuration),
                                          std::move(delegate));
}

} // namespace lumatap::x11
