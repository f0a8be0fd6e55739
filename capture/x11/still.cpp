// Still images of a monitor or a window, read and scaled in the caller's thread.
#include "capture/media/png_encoder.h"
#include "capture/media/scale.h"
#include "capture/platform.h"
#include "capture/x11/connection.h"
#include "capture/x11/grab.h"
#include "capture/x11/monitors.h"

#include <chrono>
#include <cstdlib>
#include <new>
#include <poll.h>
#include <thread>
#include <xcb/damage.h>

namespace lumatap::x11 {
namespace {

using Clock = std::chrono::steady_clock;

// No real picture comes near this; a configuration that does would only exhaust memory.
constexpr std::int64_t largestSide = 1 << 15;

ErrorPtr stillError(std::int64_t code, std::string description) {
    return makeError(std::string(errorDomain), code, std::move(description));
}

// Redirecting a window that others cover exposes the covered parts: the server fills in
// backgrounds at once, and the window's program repaints the rest when its Expose events
// reach it. Reading before then would show what covered the window, so where anything was
// exposed this waits until the window has gone quiet for a moment (with a limit, since a
// program may never repaint). A window that nothing covered is read straight away.
bool redirectAndSettle(Connection& connection, Grabber& grabber, xcb_window_t window,
                       ErrorPtr& error) {
    xcb_connection_t* c = connection.get();
    const xcb_query_extension_reply_t* damageExtension = nullptr;
    if (connection.hasExtension(&xcb_damage_id)) {
        Reply<xcb_damage_query_version_reply_t> version(
            xcb_damage_query_version_reply(c, xcb_damage_query_version(c, 1, 1), nullptr));
        if (version) {
            damageExtension = xcb_get_extension_data(c, &xcb_damage_id);
        }
    }
    if (!damageExtension || !grabber.composite()) {
        return grabber.redirect(window, error);
    }
    std::uint32_t exposures = XCB_EVENT_MASK_EXPOSURE;
    xcb_discard_reply(
        c, xcb_change_window_attributes_checked(c, window, XCB_CW_EVENT_MASK, &exposures).sequence);
    xcb_damage_damage_t damage = xcb_generate_id(c);
    xcb_discard_reply(
        c,
        xcb_damage_create_checked(c, damage, window, XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY).sequence);
    bool redirected = grabber.redirect(window, error);
    // A round trip, so that every Expose the redirection caused is in the queue.
    free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));

    const std::uint8_t damageNotify = damageExtension->first_event + XCB_DAMAGE_NOTIFY;
    bool exposed = false;
    bool damaged = false;
    auto take = [&](xcb_generic_event_t* event) {
        std::uint8_t type = event->response_type & 0x7f;
        if (type == XCB_EXPOSE && reinterpret_cast<xcb_expose_event_t*>(event)->window == window) {
            exposed = true;
        } else if (type == damageNotify &&
                   reinterpret_cast<xcb_damage_notify_event_t*>(event)->damage == damage) {
            damaged = true;
        }
        free(event);
    };
    while (xcb_generic_event_t* event = xcb_poll_for_event(c)) {
        take(event);
    }
    if (redirected && exposed) {
        constexpr auto quiet = std::chrono::milliseconds(40);
        constexpr auto limit = std::chrono::milliseconds(300);
        auto start = Clock::now();
        auto lastChange = start;
        xcb_discard_reply(c, xcb_damage_subtract_checked(c, damage, XCB_NONE, XCB_NONE).sequence);
        xcb_flush(c);
        for (;;) {
            auto now = Clock::now();
            auto until = std::min(lastChange + quiet, start + limit);
            if (now >= until) {
                break;
            }
            pollfd fd{xcb_get_file_descriptor(c), POLLIN, 0};
            auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(until - now);
            poll(&fd, 1, static_cast<int>(wait.count()) + 1);
            damaged = false;
            while (xcb_generic_event_t* event = xcb_poll_for_event(c)) {
                take(event);
            }
            if (xcb_connection_has_error(c)) {
                break;
            }
            if (damaged) {
                // Each report re-arms only once the damage is taken away.
                lastChange = Clock::now();
                xcb_discard_reply(
                    c, xcb_damage_subtract_checked(c, damage, XCB_NONE, XCB_NONE).sequence);
                xcb_flush(c);
            }
        }
    }
    xcb_discard_reply(c, xcb_damage_destroy_checked(c, damage).sequence);
    std::uint32_t none = 0;
    xcb_discard_reply(
        c, xcb_change_window_attributes_checked(c, window, XCB_CW_EVENT_MASK, &none).sequence);
    xcb_flush(c);
    return redirected;
}

// Source rows read at a time: enough that a band costs little more than its copy, few enough
// that two bands of shared memory stay small and warm.
constexpr std::size_t bandRows = 64;

// The picture being made: scaled band by band as the bands arrive, so that the whole source
// never needs to sit in memory at once.
class Still {
  public:
    Still(const StreamConfiguration* configuration, const Grabber& grabber)
        : configuration_(configuration), grabber_(grabber) {}

    Plan plan() {
        return [this](std::size_t width, std::size_t height) { return start(width, height); };
    }
    Take take() {
        return [this](const media::BgraView& rows, std::size_t band) {
            scaler_->scale(rows, sources_[band].top, image_->pixels.data(), image_->bytesPerRow,
                           outputs_[band].top, outputs_[band].end);
        };
    }
    // The picture once every band has been taken; none, with `error` set, when its configured
    // size was not possible.
    std::shared_ptr<const Image> finish(ErrorPtr& error) {
        if (impossible_) {
            error = std::move(impossible_);
            return nullptr;
        }
        return std::move(image_);
    }

  private:
    std::vector<Band> start(std::size_t sourceWidth, std::size_t sourceHeight) {
        auto width = static_cast<std::int64_t>(sourceWidth);
        auto height = static_cast<std::int64_t>(sourceHeight);
        if (configuration_) {
            width = configuration_->width.value_or(width);
            height = configuration_->height.value_or(height);
        }
        sources_.clear();
        outputs_.clear();
        if (width < 1 || height < 1 || width > largestSide || height > largestSide) {
            impossible_ =
                stillError(grabUnsupported, "the picture size " + std::to_string(width) + "x" +
                                                std::to_string(height) + " is not possible");
            return {};
        }
        auto w = static_cast<std::size_t>(width);
        auto h = static_cast<std::size_t>(height);
        // A translucent window's alpha is kept (premultiplied, so averaging stays right);
        // everything else is opaque.
        bool alpha = grabber_.translucent();
        scaler_.emplace(sourceWidth, sourceHeight, w, h, alpha);
        image_ = std::make_shared<Image>();
        image_->alpha = alpha;
        image_->width = w;
        image_->height = h;
        image_->bytesPerRow = w * 4;
        image_->pixels.resize(image_->bytesPerRow * h);
        std::size_t step = std::max<std::size_t>(1, bandRows * h / sourceHeight);
        for (std::size_t top = 0; top < h; top += step) {
            std::size_t end = std::min(h, top + step);
            media::Scaler::Rows rows = scaler_->sourceRows(top, end);
            sources_.push_back({rows.first, rows.end});
            outputs_.push_back({top, end});
        }
        return sources_;
    }

    const StreamConfiguration* configuration_;
    const Grabber& grabber_;
    std::optional<media::Scaler> scaler_;
    std::shared_ptr<Image> image_;
    std::vector<Band> sources_;
    std::vector<Band> outputs_;
    ErrorPtr impossible_;
};

bool windowPicture(Connection& connection, Grabber& grabber, xcb_window_t window, Still& still,
                   ErrorPtr& error) {
    if (!redirectAndSettle(connection, grabber, window, error)) {
        return false;
    }
    if (grabber.window(window, still.plan(), still.take(), error)) {
        return true;
    }
    // A window caught between an unmap and a map (a manager reparenting it, say) gets one
    // more chance.
    if (error && error->code == grabWindowUnmapped) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        error.reset();
        return grabber.window(window, still.plan(), still.take(), error);
    }
    return false;
}

bool displayPicture(Connection& connection, Grabber& grabber, DisplayID id, Still& still,
                    ErrorPtr& error) {
    if (connection.xwayland()) {
        error = stillError(grabWaylandSession, std::string(waylandDisplayRefusal));
        return false;
    }
    for (const Monitor& m : monitors(connection)) {
        if (m.id == id) {
            return grabber.root(m.x, m.y, m.width, m.height, still.plan(), still.take(), error);
        }
    }
    error = stillError(grabOffScreen, "the display no longer exists");
    return false;
}

std::shared_ptr<const Image> capture(const ContentFilter& filter,
                                     const StreamConfiguration* configuration, ErrorPtr& error) {
    auto connection = Connection::shared(error);
    if (!connection) {
        return nullptr;
    }
    Grabber grabber(connection);
    // The pointer is never in what the server gives back, so a configuration that hides it
    // needs nothing more.
    Still still(configuration, grabber);
    bool read = false;
    if (filter.window) {
        read = windowPicture(*connection, grabber, filter.window->windowID, still, error);
    } else if (filter.display) {
        read = displayPicture(*connection, grabber, filter.display->displayID, still, error);
    } else {
        error = stillError(grabRefused, "the filter names nothing to capture");
    }
    if (!read) {
        return nullptr;
    }
    return still.finish(error);
}

} // namespace
} // namespace lumatap::x11

namespace lumatap::x11 {

void captureImage(std::shared_ptr<const ContentFilter> filter,
                  std::shared_ptr<const StreamConfiguration> configuration,
                  platform::ImageCompletion completion) {
    ErrorPtr error;
    std::shared_ptr<const Image> image;
    if (!filter) {
        error = x11::stillError(x11::grabRefused, "no filter to capture");
    } else {
        try {
            image = x11::capture(*filter, configuration.get(), error);
        } catch (const std::bad_alloc&) {
            image.reset();
            error = x11::stillError(x11::grabRefused, "out of memory");
        }
    }
    completion(std::move(image), std::move(error));
}

std::optional<Bytes> encodePNG(const Image& image) {
    return media::encodePNGWithLibpng(image);
}

} // namespace lumatap::x11
