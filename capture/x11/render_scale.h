// Scaling on the X server through the RENDER extension: the server filters the picture down to
// the frame's size, so only the small picture crosses to us and the server's own (often
// hardware) drawing does the work that would otherwise be ours, pixel by pixel.
#pragma once

#include "capture/x11/connection.h"

#include <memory>
#include <optional>
#include <xcb/render.h>
#include <xcb/xcb.h>

namespace lumatap::x11 {

class ServerScaler {
  public:
    // None when the server has no RENDER with transforms and filters (0.6 or later).
    static std::unique_ptr<ServerScaler> create(std::shared_ptr<Connection> connection);
    ~ServerScaler();
    ServerScaler(const ServerScaler&) = delete;
    ServerScaler& operator=(const ServerScaler&) = delete;

    // Draws the width by height area at (x, y) of `source` (the root or a window, whose pixels
    // are of `visual`, children included) into a pixmap of the root's depth, scaled to
    // targetWidth by targetHeight. The pixmap stays valid until the next call. None when the
    // visual has no RENDER format.
    std::optional<xcb_pixmap_t> scale(xcb_drawable_t source, xcb_visualid_t visual, int x, int y,
                                      int width, int height, int targetWidth, int targetHeight);

  private:
    explicit ServerScaler(std::shared_ptr<Connection> connection);
    xcb_render_pictformat_t formatOf(xcb_visualid_t visual) const;
    void setFilter(double ratioX, double ratioY);

    std::shared_ptr<Connection> connection_;
    Reply<xcb_render_query_pict_formats_reply_t> formats_;
    xcb_drawable_t source_ = XCB_NONE;
    xcb_visualid_t sourceVisual_ = 0;
    xcb_render_picture_t sourcePicture_ = XCB_NONE;
    xcb_pixmap_t target_ = XCB_NONE;
    xcb_render_picture_t targetPicture_ = XCB_NONE;
    int targetWidth_ = 0;
    int targetHeight_ = 0;
    std::optional<xcb_render_transform_t> transform_;
    int kernel_ = 0;
};

} // namespace lumatap::x11
