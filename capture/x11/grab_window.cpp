// What a Grabber reads of a window: its content redirected to storage of its own through the
// Composite extension and read from there, whatever covers it; or, without Composite, what of
// it shows on screen. Either way without its border, the manager's decorations and the shadow
// margin of a window that draws its own.
#include "capture/x11/frame_extents.h"
#include "capture/x11/grab.h"
#include "capture/x11/grab_internal.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <xcb/composite.h>

namespace lumatap::x11 {

// What a window read needs to know of the window, asked all at once, so that the whole read
// costs about one round trip more than the picture itself. A redirected window's storage is
// named as a pixmap, which holds it, whatever happens to the window, until the answers go.
struct Grabber::WindowAnswers {
    WindowAnswers(Connection& connection, xcb_window_t window, bool named);
    ~WindowAnswers();
    WindowAnswers(const WindowAnswers&) = delete;
    WindowAnswers& operator=(const WindowAnswers&) = delete;

    xcb_connection_t* c;
    bool named; // whether the window's storage was asked for as a pixmap
    xcb_pixmap_t pixmap = XCB_PIXMAP_NONE;
    Reply<xcb_get_window_attributes_reply_t> attributes;
    Reply<xcb_get_geometry_reply_t> geometry;
    Reply<xcb_translate_coordinates_reply_t> origin;
    Reply<xcb_generic_error_t> nameError;
    Reply<xcb_get_geometry_reply_t> pixmapGeometry;
    Insets margin; // the shadow margin, none where the window has none
};

Grabber::WindowAnswers::WindowAnswers(Connection& connection, xcb_window_t window, bool named)
    : c(connection.get()), named(named) {
    auto attributesCookie = xcb_get_window_attributes(c, window);
    auto geometryCookie = xcb_get_geometry(c, window);
    auto originCookie = xcb_translate_coordinates(c, window, connection.root(), 0, 0);
    auto extentsCookie = askFrameExtents(connection, window);
    xcb_void_cookie_t nameCookie{};
    xcb_get_geometry_cookie_t pixmapGeometryCookie{};
    if (named) {
        pixmap = xcb_generate_id(c);
        nameCookie = xcb_composite_name_window_pixmap_checked(c, window, pixmap);
        pixmapGeometryCookie = xcb_get_geometry(c, pixmap);
    }
    xcb_generic_error_t* e = nullptr;
    attributes.reset(xcb_get_window_attributes_reply(c, attributesCookie, &e));
    Reply<xcb_generic_error_t> attributesError(e);
    geometry.reset(xcb_get_geometry_reply(c, geometryCookie, &e));
    Reply<xcb_generic_error_t> geometryError(e);
    origin.reset(xcb_translate_coordinates_reply(c, originCookie, &e));
    Reply<xcb_generic_error_t> originError(e);
    if (named) {
        nameError.reset(xcb_request_check(c, nameCookie));
        pixmapGeometry.reset(xcb_get_geometry_reply(c, pixmapGeometryCookie, &e));
        Reply<xcb_generic_error_t> pixmapGeometryError(e);
    }
    // Answered whatever the answers above say, so that the reply does not linger.
    margin = frameExtents(connection, extentsCookie, geometry ? geometry->width : 0,
                          geometry ? geometry->height : 0);
}

Grabber::WindowAnswers::~WindowAnswers() {
    if (named && !nameError) {
        forget(c, xcb_free_pixmap_checked(c, pixmap));
    }
}

bool Grabber::composite() {
    if (!composite_) {
        composite_ = false;
        xcb_connection_t* c = connection_->get();
        if (connection_->hasExtension(&xcb_composite_id)) {
            // Naming a window's pixmap came with version 0.2.
            Reply<xcb_composite_query_version_reply_t> version(xcb_composite_query_version_reply(
                c, xcb_composite_query_version(c, 0, 4), nullptr));
            composite_ = version && (version->major_version > 0 || version->minor_version >= 2);
        }
    }
    return *composite_;
}

bool Grabber::redirect(xcb_window_t window, ErrorPtr& error) {
    if (!composite() || redirected_.count(window)) {
        return true;
    }
    xcb_connection_t* c = connection_->get();
    Reply<xcb_generic_error_t> problem(xcb_request_check(
        c, xcb_composite_redirect_window_checked(c, window, XCB_COMPOSITE_REDIRECT_AUTOMATIC)));
    if (problem && gone(*problem)) {
        error = failure(grabWindowGone, "the window no longer exists");
        return false;
    }
    // Any other refusal (the root window, say) shows again, more clearly, when the window's
    // pixmap is asked for.
    if (!problem) {
        redirected_.insert(window);
    }
    return true;
}

std::optional<BgraView> Grabber::window(xcb_window_t window, ErrorPtr& error) {
    std::optional<BgraView> picture;
    if (!this->window(
            window, whole, [&](const BgraView& rows, std::size_t) { picture = rows; }, error)) {
        return std::nullopt;
    }
    return picture;
}

std::optional<BgraView> Grabber::window(xcb_window_t window, int x, int y, int width, int height,
                                        ErrorPtr& error) {
    part_ = Part{x, y, width, height};
    auto view = this->window(window, error);
    part_.reset();
    return view;
}

bool Grabber::window(xcb_window_t window, const Plan& plan, const Take& take, ErrorPtr& error) {
    partX_ = partY_ = 0;
    if (!redirect(window, error)) {
        return false;
    }
    const WindowAnswers answers(*connection_, window, composite() && redirected_.count(window));
    auto format = windowFormat(answers, error);
    if (!format) {
        return false;
    }
    translucent_ = format->alpha != 0;
    offsetX_ = answers.margin.left;
    offsetY_ = answers.margin.top;
    if (answers.named) {
        return readStorage(answers, *format, plan, take, error);
    }
    return readOnScreen(window, answers, *format, plan, take, error);
}

std::optional<Grabber::Format> Grabber::windowFormat(const WindowAnswers& answers,
                                                     ErrorPtr& error) {
    if (!answers.attributes || !answers.geometry || !answers.origin) {
        error = failure(grabWindowGone, "the window no longer exists");
        return std::nullopt;
    }
    if (answers.attributes->map_state != XCB_MAP_STATE_VIEWABLE) {
        error = failure(grabWindowUnmapped, "the window is not mapped");
        return std::nullopt;
    }
    auto format = formatOf(answers.geometry->depth, answers.attributes->visual);
    if (!format) {
        error = failure(grabUnsupported, "the pixel format of depth " +
                                             std::to_string(answers.geometry->depth) +
                                             " is not supported");
    }
    return format;
}

bool Grabber::readStorage(const WindowAnswers& answers, const Format& format, const Plan& plan,
                          const Take& take, ErrorPtr& error) {
    if (answers.nameError) {
        // Unmapped (or destroyed) between the questions above and this one.
        error = gone(*answers.nameError) ? failure(grabWindowGone, "the window no longer exists")
                                         : failure(grabWindowUnmapped, "the window is not mapped");
        return false;
    }
    if (!answers.pixmapGeometry) {
        error = failure(grabRefused, "the X server gave no pixmap for the window");
        return false;
    }
    // The pixmap takes the border too; the content sits inside it. Its own size counts,
    // since the window may have been resized since its geometry was read.
    const xcb_get_geometry_reply_t& geometry = *answers.geometry;
    int border = geometry.border_width;
    int width = answers.pixmapGeometry->width - 2 * border;
    int height = answers.pixmapGeometry->height - 2 * border;
    if (width <= 0 || height <= 0) {
        border = 0;
        width = answers.pixmapGeometry->width;
        height = answers.pixmapGeometry->height;
    }
    Insets margin = answers.margin;
    if (width != geometry.width || height != geometry.height) {
        // Resized in between: the margin is only trusted where it still leaves something.
        if (margin.left + margin.right >= width || margin.top + margin.bottom >= height) {
            margin = {};
            offsetX_ = offsetY_ = 0;
        }
    }
    Part content{0, 0, width - margin.left - margin.right, height - margin.top - margin.bottom};
    contentWidth_ = content.width;
    contentHeight_ = content.height;
    if (part_) {
        int left = std::max(part_->x, 0);
        int top = std::max(part_->y, 0);
        int right = std::min(part_->x + part_->width, content.width);
        int bottom = std::min(part_->y + part_->height, content.height);
        if (right > left && bottom > top) {
            content = {left, top, right - left, bottom - top};
        }
    }
    partX_ = content.x;
    partY_ = content.y;
    return read({answers.pixmap, border + margin.left + content.x, border + margin.top + content.y,
                 content.width, content.height, format},
                plan, take, error);
}

bool Grabber::readOnScreen(xcb_window_t window, const WindowAnswers& answers, const Format& format,
                           const Plan& plan, const Take& take, ErrorPtr& error) {
    // Coordinates below are those of the visible part, the shadow margin left out.
    const Insets& margin = answers.margin;
    const xcb_screen_t& screen = connection_->screen();
    int screenX = answers.origin->dst_x + margin.left;
    int screenY = answers.origin->dst_y + margin.top;
    int width = answers.geometry->width - margin.left - margin.right;
    int height = answers.geometry->height - margin.top - margin.bottom;
    contentWidth_ = width;
    contentHeight_ = height;
    int left = std::max(0, -screenX);
    int top = std::max(0, -screenY);
    int right = std::min<int>(width, screen.width_in_pixels - screenX);
    int bottom = std::min<int>(height, screen.height_in_pixels - screenY);
    if (right <= left || bottom <= top) {
        error = failure(grabOffScreen, "the window lies outside the screen");
        return false;
    }
    // What shows on screen has already been composited: its alpha means nothing.
    translucent_ = false;
    if (left == 0 && top == 0 && right == width && bottom == height) {
        return read({window, margin.left, margin.top, width, height, format}, plan, take, error);
    }
    // Partly off the screen: the part outside stays black.
    std::vector<std::uint8_t> canvas(static_cast<std::size_t>(width) * height * 4, 0);
    bool visible = read(
        {window, margin.left + left, margin.top + top, right - left, bottom - top, format}, whole,
        [&](const BgraView& part, std::size_t) {
            for (std::size_t y = 0; y < part.height; ++y) {
                std::memcpy(canvas.data() + ((top + y) * width + left) * 4,
                            part.data + y * part.bytesPerRow, part.width * 4);
            }
        },
        error);
    if (!visible) {
        return false;
    }
    converted_ = std::move(canvas);
    return handOverConverted(width, height, plan, take, error);
}

bool Grabber::handOverConverted(int width, int height, const Plan& plan, const Take& take,
                                ErrorPtr& error) {
    auto bands = plan(static_cast<std::size_t>(width), static_cast<std::size_t>(height));
    if (!fits(bands, static_cast<std::size_t>(height))) {
        error = failure(grabRefused, "the picture was planned in bands that do not fit it");
        return false;
    }
    std::size_t stride = static_cast<std::size_t>(width) * 4;
    for (std::size_t i = 0; i < bands.size(); ++i) {
        take({converted_.data() + bands[i].top * stride, static_cast<std::size_t>(width),
              bands[i].end - bands[i].top, stride},
             i);
    }
    return true;
}

} // namespace lumatap::x11
