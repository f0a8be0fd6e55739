#include "capture/x11/render_scale.h"

#include <cmath>
#include <cstring>
#include <string_view>
#include <vector>

namespace lumatap::x11 {
namespace {

xcb_render_fixed_t fixed(double value) {
    return static_cast<xcb_render_fixed_t>(std::lround(value * 65536));
}

// Requests whose errors nobody waits for must not turn up later as events.
void forget(xcb_connection_t* c, xcb_void_cookie_t cookie) {
    xcb_discard_reply(c, cookie.sequence);
}

bool sameTransform(const xcb_render_transform_t& a, const xcb_render_transform_t& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

} // namespace

std::unique_ptr<ServerScaler> ServerScaler::create(std::shared_ptr<Connection> connection) {
    xcb_connection_t* c = connection->get();
    if (!connection->hasExtension(&xcb_render_id)) {
        return nullptr;
    }
    Reply<xcb_render_query_version_reply_t> version(
        xcb_render_query_version_reply(c, xcb_render_query_version(c, 0, 11), nullptr));
    if (!version || (version->major_version == 0 && version->minor_version < 6)) {
        return nullptr;
    }
    std::unique_ptr<ServerScaler> scaler(new ServerScaler(std::move(connection)));
    scaler->formats_.reset(
        xcb_render_query_pict_formats_reply(c, xcb_render_query_pict_formats(c), nullptr));
    const xcb_screen_t& screen = scaler->connection_->screen();
    if (!scaler->formats_ || scaler->formatOf(screen.root_visual) == XCB_NONE) {
        return nullptr;
    }
    return scaler;
}

ServerScaler::ServerScaler(std::shared_ptr<Connection> connection)
    : connection_(std::move(connection)) {
}

ServerScaler::~ServerScaler() {
    xcb_connection_t* c = connection_->get();
    if (sourcePicture_ != XCB_NONE) {
        forget(c, xcb_render_free_picture_checked(c, sourcePicture_));
    }
    if (targetPicture_ != XCB_NONE) {
        forget(c, xcb_render_free_picture_checked(c, targetPicture_));
        forget(c, xcb_free_pixmap_checked(c, target_));
    }
    xcb_flush(c);
}

xcb_render_pictformat_t ServerScaler::formatOf(xcb_visualid_t visual) const {
    for (auto s = xcb_render_query_pict_formats_screens_iterator(formats_.get()); s.rem;
         xcb_render_pictscreen_next(&s)) {
        for (auto d = xcb_render_pictscreen_depths_iterator(s.data); d.rem;
             xcb_render_pictdepth_next(&d)) {
            for (auto v = xcb_render_pictdepth_visuals_iterator(d.data); v.rem;
                 xcb_render_pictvisual_next(&v)) {
                if (v.data->visual == visual) {
                    return v.data->format;
                }
            }
        }
    }
    return XCB_NONE;
}

void ServerScaler::setFilter(double ratioX, double ratioY) {
    xcb_connection_t* c = connection_->get();
    // Up to halving, the four nearest pixels weighed by distance lose nothing; further down a
    // box as wide as the step averages every pixel in, as area averaging does.
    double ratio = std::max(ratioX, ratioY);
    int kernel = ratio <= 2 ? 0 : std::min(16, static_cast<int>(std::ceil(ratio)));
    if (kernel == kernel_ && transform_) {
        return;
    }
    kernel_ = kernel;
    if (kernel == 0) {
        std::string_view name = "bilinear";
        forget(c, xcb_render_set_picture_filter_checked(c, sourcePicture_,
                                                        static_cast<std::uint16_t>(name.size()),
                                                        name.data(), 0, nullptr));
        return;
    }
    std::vector<xcb_render_fixed_t> values = {fixed(kernel), fixed(kernel)};
    values.resize(2 + static_cast<std::size_t>(kernel * kernel), fixed(1.0 / (kernel * kernel)));
    std::string_view name = "convolution";
    forget(c, xcb_render_set_picture_filter_checked(
                  c, sourcePicture_, static_cast<std::uint16_t>(name.size()), name.data(),
                  static_cast<std::uint32_t>(values.size()), values.data()));
}

std::optional<xcb_pixmap_t> ServerScaler::scale(xcb_drawable_t source, xcb_visualid_t visual, int x,
                                                int y, int width, int height, int targetWidth,
                                                int targetHeight) {
    xcb_connection_t* c = connection_->get();
    if (source != source_ || visual != sourceVisual_ || sourcePicture_ == XCB_NONE) {
        xcb_render_pictformat_t format = formatOf(visual);
        if (format == XCB_NONE) {
            return std::nullopt;
        }
        if (sourcePicture_ != XCB_NONE) {
            forget(c, xcb_render_free_picture_checked(c, sourcePicture_));
        }
        sourcePicture_ = xcb_generate_id(c);
        // Children drawn in, and edges repeated outwards so that filtering near them does
        // not pull in transparent black.
        std::uint32_t values[] = {XCB_RENDER_REPEAT_PAD, XCB_SUBWINDOW_MODE_INCLUDE_INFERIORS};
        forget(c, xcb_render_create_picture_checked(
                      c, sourcePicture_, source, format,
                      XCB_RENDER_CP_REPEAT | XCB_RENDER_CP_SUBWINDOW_MODE, values));
        source_ = source;
        sourceVisual_ = visual;
        transform_.reset();
        kernel_ = -1;
    }
    if (targetWidth != targetWidth_ || targetHeight != targetHeight_ || target_ == XCB_NONE) {
        if (targetPicture_ != XCB_NONE) {
            forget(c, xcb_render_free_picture_checked(c, targetPicture_));
            forget(c, xcb_free_pixmap_checked(c, target_));
        }
        const xcb_screen_t& screen = connection_->screen();
        target_ = xcb_generate_id(c);
        forget(c, xcb_create_pixmap_checked(c, screen.root_depth, target_, screen.root,
                                            static_cast<std::uint16_t>(targetWidth),
                                            static_cast<std::uint16_t>(targetHeight)));
        targetPicture_ = xcb_generate_id(c);
        forget(c, xcb_render_create_picture_checked(c, targetPicture_, target_,
                                                    formatOf(screen.root_visual), 0, nullptr));
        targetWidth_ = targetWidth;
        targetHeight_ = targetHeight;
    }
    double ratioX = static_cast<double>(width) / targetWidth;
    double ratioY = static_cast<double>(height) / targetHeight;
    // Maps each target pixel back to the source: scaled, then moved to the area's corner.
    xcb_render_transform_t transform{fixed(ratioX), 0, fixed(x), 0,       fixed(ratioY),
                                     fixed(y),      0, 0,        fixed(1)};
    if (!transform_ || !sameTransform(*transform_, transform)) {
        forget(c, xcb_render_set_picture_transform_checked(c, sourcePicture_, transform));
        transform_ = transform;
    }
    setFilter(ratioX, ratioY);
    forget(c, xcb_render_composite_checked(c, XCB_RENDER_PICT_OP_SRC, sourcePicture_, XCB_NONE,
                                           targetPicture_, 0, 0, 0, 0, 0, 0,
                                           static_cast<std::uint16_t>(targetWidth),
                                           static_cast<std::uint16_t>(targetHeight)));
    return target_;
}

} // namespace lumatap::x11
