// Pictures of a monitor or a window for the screen stream.
//
// The source has a connection of its own, used by the capture thread alone. Drawing is
// reported by the DAMAGE extension, each rectangle drawn in an event of its own, and only the
// changed rectangles are read, through shared memory. The pointer, when it is shown, is asked
// for with every change, where the input extension says it moved, and at least every quarter
// second besides (a program that warps the pointer moves no device), rather than at every tick.
//
// All scaling happens in the stream, not in the X server: measured as the whole cost, ours and
// the server's, on a server that draws in software, reading the picture and scaling it with the
// vectorised pass costs less than the server's RENDER filter even when everything changed, and
// far less when only a part did: for a 1920x1080 screen into 1280x720 2.1 against 2.8 ms a
// frame, for 3840x2160 into 1920x1080 6.0 against 6.2 (bench/video_vs_ffmpeg.sh), for a window
// as large 2.1 against 2.6.
#include "capture/x11/stream.h"

#include "capture/media/screen_stream.h"
#include "capture/x11/connection.h"
#include "capture/x11/grab.h"
#include "capture/x11/monitors.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <poll.h>
#include <xcb/damage.h>
#include <xcb/xfixes.h>
#include <xcb/xinput.h>

namespace lumatap::x11 {
namespace {

using media::Area;
using media::Clock;

constexpr auto monitorCheck = std::chrono::seconds(1);
// How long a pointer that no device moved goes unasked.
constexpr auto pointerCheck = std::chrono::milliseconds(250);
// Beyond this many rectangles drawn since the last report, the box around them all is kept.
constexpr std::size_t mostRectangles = 64;

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

xcb_rectangle_t join(const xcb_rectangle_t& a, const xcb_rectangle_t& b) {
    const std::int32_t left = std::min(a.x, b.x);
    const std::int32_t top = std::min(a.y, b.y);
    const std::int32_t right = std::max(a.x + a.width, b.x + b.width);
    const std::int32_t bottom = std::max(a.y + a.height, b.y + b.height);
    return {static_cast<std::int16_t>(left), static_cast<std::int16_t>(top),
            static_cast<std::uint16_t>(std::min(right - left, 65535)),
            static_cast<std::uint16_t>(std::min(bottom - top, 65535))};
}

// Where the source's pixel (0, 0) is on the root window.
struct Origin {
    std::int64_t x = 0;
    std::int64_t y = 0;

    bool operator==(const Origin&) const = default;
};

// The part `area` of a view whose first pixel is (viewX, viewY) of the source; none when the
// view does not hold all of it.
std::optional<BgraView> part(const BgraView& view, std::size_t viewX, std::size_t viewY,
                             const Area& area) {
    if (area.x < viewX || area.y < viewY || area.x + area.width > viewX + view.width ||
        area.y + area.height > viewY + view.height) {
        return std::nullopt;
    }
    return BgraView{view.data + (area.y - viewY) * view.bytesPerRow + (area.x - viewX) * 4,
                    area.width, area.height, view.bytesPerRow};
}

class Source : public media::FrameSource {
  public:
    explicit Source(std::shared_ptr<const ContentFilter> filter) : filter_(std::move(filter)) {}

    bool prepare(const StreamConfiguration& configuration, std::size_t& width, std::size_t& height,
                 ErrorPtr& error) override;
    bool wait(Clock::time_point deadline) override;
    bool pending() const override { return changed_ || pointerMoved_ || pointerShifted_; }
    bool report(media::Changes& changes, ErrorPtr& error) override;
    std::optional<BgraView> read(const Area& area, ErrorPtr& error) override;
    // Each read of a window costs several round trips.
    bool readsOnce() const override { return window_ != XCB_WINDOW_NONE; }

  private:
    void takeEvents(ErrorPtr& error);
    // Takes the answer to a pointer query sent with a change, once the read that followed it
    // has been answered (or at the next report).
    void takePointerLater();
    // Watches the pointer's raw motion, where the server's input extension can tell it.
    void watchPointer();
    // Adds a drawn rectangle to those taken at the next report.
    void collect(const xcb_rectangle_t& area);
    bool checkMonitor(ErrorPtr& error);
    void askCursorImage();
    // The pointer's image, asked again only after the server said it changed; none when the
    // server has none to give.
    const xcb_xfixes_get_cursor_image_reply_t* cursorImage();
    // The monitor's rectangle clipped to the screen; none when nothing of it is on the screen.
    std::optional<Area> rootArea() const;
    Origin windowOrigin(const std::optional<Origin>& corner) const;
    // Damaged rectangles in the source's pixels, for a source whose pixel (0, 0) lies at
    // `shift` of the drawable.
    std::vector<Area> damageIn(const Origin& shift) const;
    // Maps a failed read to the stream's end, or to nothing to show for now.
    void judge(ErrorPtr& error) const;

    const std::shared_ptr<const ContentFilter> filter_;
    std::shared_ptr<Connection> connection_;
    std::unique_ptr<Grabber> grabber_;
    xcb_window_t window_ = XCB_WINDOW_NONE;
    DisplayID display_ = 0;
    Monitor monitor_;
    Clock::time_point lastMonitorCheck_;
    bool showsCursor_ = true;
    xcb_damage_damage_t damage_ = 0;
    std::uint8_t damageEvent_ = 0;
    std::uint8_t cursorEvent_ = 0;
    // The input extension's major opcode, where its raw pointer motion is watched; else 0.
    std::uint8_t input_ = 0;
    // A device moved the pointer since it was last asked for.
    bool pointerMoved_ = true;
    // A query answered with the read that followed it, and whether it found the pointer moved.
    std::optional<xcb_query_pointer_cookie_t> pointerLater_;
    bool pointerShifted_ = false;
    Clock::time_point lastPointerCheck_;
    // Drawing was reported and not yet read.
    bool changed_ = true;
    bool windowDestroyed_ = false;
    // Everything must be read again (first frame, a monitor that moved, a window back).
    bool whole_ = true;
    // Damaged rectangles in the drawable's coordinates: as they come in, and as taken by the
    // last report.
    std::vector<xcb_rectangle_t> drawing_;
    std::vector<xcb_rectangle_t> drawn_;
    // Where the server last said the pointer is, on the root window.
    std::int16_t pointerX_ = 0;
    std::int16_t pointerY_ = 0;
    bool cursorChanged_ = true;
    // The pointer's image as last answered, and an ask not yet taken; stale once the server
    // reports another.
    Reply<xcb_xfixes_get_cursor_image_reply_t> cursor_;
    std::optional<xcb_xfixes_get_cursor_image_cookie_t> cursorAsked_;
    bool cursorStale_ = true;
    // A window's size and shadow margin as last reported, and the whole content read for that
    // report.
    std::size_t width_ = 0;
    std::size_t height_ = 0;
    Origin margin_;
    std::optional<BgraView> content_;
};

bool Source::prepare(const StreamConfiguration& c, std::size_t& width, std::size_t& height,
                     ErrorPtr& error) {
    if (!filter_ || (!filter_->window && !filter_->display)) {
        error = streamError(streamNotStarted, "the filter names nothing to capture");
        return false;
    }
    connection_ = Connection::open(error);
    if (!connection_) {
        return false;
    }
    xcb_connection_t* x = connection_->get();
    if (!connection_->hasExtension(&xcb_damage_id) || !connection_->hasExtension(&xcb_xfixes_id)) {
        error = streamError(streamUnsupported, "the X server lacks the DAMAGE or XFIXES extension");
        return false;
    }
    Reply<xcb_xfixes_query_version_reply_t> fixes(
        xcb_xfixes_query_version_reply(x, xcb_xfixes_query_version(x, 4, 0), nullptr));
    Reply<xcb_damage_query_version_reply_t> damage(
        xcb_damage_query_version_reply(x, xcb_damage_query_version(x, 1, 1), nullptr));
    if (!fixes || !damage) {
        error = streamError(streamUnsupported, "the X server lacks the DAMAGE or XFIXES extension");
        return false;
    }
    damageEvent_ = xcb_get_extension_data(x, &xcb_damage_id)->first_event + XCB_DAMAGE_NOTIFY;
    cursorEvent_ =
        xcb_get_extension_data(x, &xcb_xfixes_id)->first_event + XCB_XFIXES_CURSOR_NOTIFY;
    grabber_ = std::make_unique<Grabber>(connection_);

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
            return false;
        }
        watched = window_;
    } else {
        display_ = filter_->display->displayID;
        if (connection_->xwayland()) {
            error = streamError(grabWaylandSession, std::string(waylandDisplayRefusal));
            return false;
        }
        if (!checkMonitor(error)) {
            return false;
        }
    }
    damage_ = xcb_generate_id(x);
    xcb_discard_reply(
        x, xcb_damage_create_checked(x, damage_, watched, XCB_DAMAGE_REPORT_LEVEL_RAW_RECTANGLES)
               .sequence);
    showsCursor_ = c.showsCursor.value_or(true);
    if (showsCursor_) {
        xcb_discard_reply(
            x, xcb_xfixes_select_cursor_input_checked(x, connection_->root(),
                                                      XCB_XFIXES_CURSOR_NOTIFY_MASK_DISPLAY_CURSOR)
                   .sequence);
        watchPointer();
    }

    // One read now, so that pixels this stream can never convert fail the start instead of
    // leaving it waiting for a picture that never comes. A window that is merely unmapped or
    // off the screen now may still show later.
    std::optional<BgraView> first;
    if (window_ != XCB_WINDOW_NONE) {
        first = grabber_->window(window_, error);
    } else {
        first = grabber_->root(monitor_.x, monitor_.y, monitor_.width, monitor_.height, error);
    }
    if (!first && error && error->code != grabWindowUnmapped && error->code != grabOffScreen) {
        return false;
    }
    error.reset();
    width = first ? first->width : 0;
    height = first ? first->height : 0;
    xcb_flush(x);
    return true;
}

bool Source::checkMonitor(ErrorPtr& error) {
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

void Source::watchPointer() {
    // Raw events reach a client that asks on the root window whatever window the pointer is
    // over and whoever grabbed it, from version 2.1 on. Without them the pointer is asked for
    // at every report.
    xcb_connection_t* x = connection_->get();
    const xcb_query_extension_reply_t* extension = xcb_get_extension_data(x, &xcb_input_id);
    if (!extension || !extension->present) {
        return;
    }
    Reply<xcb_input_xi_query_version_reply_t> version(
        xcb_input_xi_query_version_reply(x, xcb_input_xi_query_version(x, 2, 2), nullptr));
    if (!version || (version->major_version == 2 && version->minor_version < 1)) {
        return;
    }
    struct {
        xcb_input_event_mask_t head;
        std::uint32_t mask;
    } select{{XCB_INPUT_DEVICE_ALL_MASTER, 1}, XCB_INPUT_XI_EVENT_MASK_RAW_MOTION};
    Reply<xcb_generic_error_t> problem(xcb_request_check(
        x, xcb_input_xi_select_events_checked(x, connection_->root(), 1, &select.head)));
    if (!problem) {
        input_ = extension->major_opcode;
    }
}

bool Source::wait(Clock::time_point deadline) {
    pollfd fd{xcb_get_file_descriptor(connection_->get()), POLLIN, 0};
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    return left.count() > 0 && poll(&fd, 1, static_cast<int>(left.count())) > 0;
}

void Source::takeEvents(ErrorPtr& error) {
    xcb_connection_t* x = connection_->get();
    while (xcb_generic_event_t* event = xcb_poll_for_event(x)) {
        std::uint8_t type = event->response_type & 0x7f;
        if (type == damageEvent_) {
            const auto* damage = reinterpret_cast<xcb_damage_notify_event_t*>(event);
            if (damage->damage == damage_) {
                changed_ = true;
                collect(damage->area);
            }
        } else if (type == XCB_GE_GENERIC && input_ != 0 &&
                   reinterpret_cast<xcb_ge_generic_event_t*>(event)->extension == input_ &&
                   reinterpret_cast<xcb_ge_generic_event_t*>(event)->event_type ==
                       XCB_INPUT_RAW_MOTION) {
            pointerMoved_ = true;
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

void Source::collect(const xcb_rectangle_t& area) {
    if (drawing_.size() < mostRectangles) {
        drawing_.push_back(area);
        return;
    }
    // Every rectangle is kept inside one box: a flood of small drawing costs one read of where
    // it happened, not a list that grows without bound between reads.
    xcb_rectangle_t box = area;
    for (const xcb_rectangle_t& r : drawing_) {
        box = join(box, r);
    }
    drawing_.clear();
    drawing_.push_back(box);
}

void Source::takePointerLater() {
    if (!pointerLater_) {
        return;
    }
    Reply<xcb_query_pointer_reply_t> pointer(
        xcb_query_pointer_reply(connection_->get(), *pointerLater_, nullptr));
    pointerLater_.reset();
    if (pointer && (pointer->root_x != pointerX_ || pointer->root_y != pointerY_)) {
        pointerX_ = pointer->root_x;
        pointerY_ = pointer->root_y;
        pointerShifted_ = true;
    }
}

void Source::askCursorImage() {
    xcb_connection_t* x = connection_->get();
    if (cursorAsked_) {
        xcb_discard_reply(x, cursorAsked_->sequence);
    }
    cursorAsked_ = xcb_xfixes_get_cursor_image(x);
    cursorStale_ = false;
}

const xcb_xfixes_get_cursor_image_reply_t* Source::cursorImage() {
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

std::optional<Area> Source::rootArea() const {
    const xcb_screen_t& screen = connection_->screen();
    std::int64_t left = std::max<std::int64_t>(monitor_.x, 0);
    std::int64_t top = std::max<std::int64_t>(monitor_.y, 0);
    std::int64_t right =
        std::min<std::int64_t>(std::int64_t{monitor_.x} + monitor_.width, screen.width_in_pixels);
    std::int64_t bottom =
        std::min<std::int64_t>(std::int64_t{monitor_.y} + monitor_.height, screen.height_in_pixels);
    if (right <= left || bottom <= top) {
        return std::nullopt;
    }
    return Area{static_cast<std::size_t>(left), static_cast<std::size_t>(top),
                static_cast<std::size_t>(right - left), static_cast<std::size_t>(bottom - top)};
}

Origin Source::windowOrigin(const std::optional<Origin>& corner) const {
    // The picture starts past the window's shadow margin, if it has one (as of the last read).
    Origin at = corner.value_or(Origin{});
    return {at.x + grabber_->offsetX(), at.y + grabber_->offsetY()};
}

std::vector<Area> Source::damageIn(const Origin& shift) const {
    std::vector<Area> changed;
    for (const xcb_rectangle_t& r : drawn_) {
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

bool Source::report(media::Changes& changes, ErrorPtr& error) {
    content_.reset();
    takeEvents(error);
    if (error) {
        return false;
    }
    if (display_ && Clock::now() - lastMonitorCheck_ >= monitorCheck && !checkMonitor(error)) {
        return false;
    }
    xcb_connection_t* x = connection_->get();
    // Asked together, so the pointer, what was drawn, a new pointer image and a window's place
    // cost one round trip between them.
    std::optional<xcb_query_pointer_cookie_t> pointerAsked;
    if (showsCursor_) {
        const auto now = Clock::now();
        takePointerLater();
        pointerShifted_ = false;
        if (input_ == 0 || pointerMoved_ || now - lastPointerCheck_ >= pointerCheck ||
            (changed_ && window_ != XCB_WINDOW_NONE)) {
            pointerAsked = xcb_query_pointer(x, connection_->root());
            pointerMoved_ = false;
            lastPointerCheck_ = now;
        } else if (changed_) {
            // Asked with every change drawn, and answered with the read that follows, so it
            // costs no round trip of its own: a warp shows at the next tick after a drawing.
            // (A window's report waits for its place anyway; there it rides along.)
            pointerLater_ = xcb_query_pointer(x, connection_->root());
            lastPointerCheck_ = now;
        }
        if (cursorStale_) {
            askCursorImage();
        }
    }
    // What was drawn up to now: drawing during the read comes in events after it, and is read
    // again at the next report.
    drawn_.clear();
    if (changed_) {
        drawn_.swap(drawing_);
        // Each rectangle came in its own event; the server need not keep the region.
        xcb_discard_reply(x, xcb_damage_subtract_checked(x, damage_, XCB_NONE, XCB_NONE).sequence);
        changed_ = false;
    }
    std::optional<xcb_translate_coordinates_cookie_t> cornerAsked;
    if (window_ != XCB_WINDOW_NONE) {
        cornerAsked = xcb_translate_coordinates(x, window_, connection_->root(), 0, 0);
    }
    if (pointerAsked) {
        // A move shows as the pointer's box moving in the stream.
        Reply<xcb_query_pointer_reply_t> pointer(
            xcb_query_pointer_reply(x, *pointerAsked, nullptr));
        if (pointer) {
            pointerX_ = pointer->root_x;
            pointerY_ = pointer->root_y;
        }
    }
    std::optional<Origin> corner;
    if (cornerAsked) {
        Reply<xcb_translate_coordinates_reply_t> where(
            xcb_translate_coordinates_reply(x, *cornerAsked, nullptr));
        if (where) {
            corner = Origin{where->dst_x, where->dst_y};
        }
    }
    // Events that came in with the replies would otherwise wait unseen in the connection's
    // queue until the next report.
    ErrorPtr later;
    takeEvents(later);

    Origin origin;
    if (window_ == XCB_WINDOW_NONE) {
        auto area = rootArea();
        if (!area) {
            whole_ = true;
            return true;
        }
        origin = {static_cast<std::int64_t>(area->x), static_cast<std::int64_t>(area->y)};
        changes.width = area->width;
        changes.height = area->height;
        changes.damage = damageIn(origin);
    } else {
        if (whole_ || width_ == 0) {
            // A window's size and margin are known only from a read of all of it.
            content_ = grabber_->window(window_, error);
            if (!content_) {
                judge(error);
                if (error) {
                    return false;
                }
                whole_ = true;
                width_ = height_ = 0;
                return true;
            }
            whole_ = true;
            width_ = content_->width;
            height_ = content_->height;
            margin_ = {grabber_->offsetX(), grabber_->offsetY()};
        }
        origin = windowOrigin(corner);
        changes.width = width_;
        changes.height = height_;
        changes.damage = damageIn(margin_);
    }
    changes.whole = whole_;
    whole_ = false;
    if (showsCursor_) {
        if (const auto* image = cursorImage()) {
            changes.pointer = media::PointerImage{
                xcb_xfixes_get_cursor_image_cursor_image(image), image->width, image->height,
                pointerX_ - image->xhot - origin.x, pointerY_ - image->yhot - origin.y};
        }
        changes.pointerChanged = cursorChanged_;
        cursorChanged_ = false;
    }
    return true;
}

std::optional<BgraView> Source::read(const Area& area, ErrorPtr& error) {
    if (window_ == XCB_WINDOW_NONE) {
        auto screen = rootArea();
        if (!screen) {
            whole_ = true;
            return std::nullopt;
        }
        auto view = grabber_->root(
            static_cast<int>(screen->x + area.x), static_cast<int>(screen->y + area.y),
            static_cast<int>(area.width), static_cast<int>(area.height), error);
        takePointerLater();
        if (!view) {
            judge(error);
            whole_ = true;
        }
        return view;
    }
    if (content_) {
        return part(*content_, 0, 0, area);
    }
    auto view =
        grabber_->window(window_, static_cast<int>(area.x), static_cast<int>(area.y),
                         static_cast<int>(area.width), static_cast<int>(area.height), error);
    if (!view) {
        judge(error);
        whole_ = true;
        return std::nullopt;
    }
    // Resized, or its margin changed, since the report: all of it is read again.
    if (static_cast<std::size_t>(grabber_->contentWidth()) != width_ ||
        static_cast<std::size_t>(grabber_->contentHeight()) != height_ ||
        Origin{grabber_->offsetX(), grabber_->offsetY()} != margin_) {
        whole_ = true;
        return std::nullopt;
    }
    auto inside = part(*view, static_cast<std::size_t>(grabber_->partX()),
                       static_cast<std::size_t>(grabber_->partY()), area);
    if (!inside) {
        whole_ = true;
    }
    return inside;
}

void Source::judge(ErrorPtr& error) const {
    if (error && error->code == grabWindowGone) {
        error = streamError(streamWindowDestroyed, "the window was destroyed");
        return;
    }
    if (xcb_connection_has_error(connection_->get())) {
        error = streamError(streamServerGone,
                            "the display went away: the X server connection was lost");
        return;
    }
    if (error && error->code == grabUnsupported) {
        return;
    }
    // Unmapped, or off the screen for now: nothing to show until it is back.
    error.reset();
}

} // namespace

std::shared_ptr<Stream> createScreenStream(std::shared_ptr<const ContentFilter> filter,
                                           std::shared_ptr<const StreamConfiguration> configuration,
                                           std::shared_ptr<StreamDelegate> delegate) {
    return std::make_shared<media::ScreenStream>(
        std::make_unique<Source>(std::move(filter)), std::move(configuration), std::move(delegate),
        media::ScreenStream::Refusals{std::string(errorDomain), streamNoOutput, streamNotStarted,
                                      streamNoMemory, streamUnsupported});
}

} // namespace lumatap::x11
