// Laying a captured picture out in a stream's frame: where it goes, and the pointer on top.
#pragma once

#include "capture/media/yuv.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace lumatap::media {

struct Placement {
    std::size_t x = 0;
    std::size_t y = 0;
    std::size_t width = 0;
    std::size_t height = 0;

    bool operator==(const Placement&) const = default;
};

// Where a source of sourceWidth by sourceHeight goes in a frame of width by height: the whole
// frame, or with `keepAspect` the largest centred area of the source's shape. The corner is
// put on an even row and column, so the picture's chroma blocks never straddle a bar.
Placement place(std::size_t sourceWidth, std::size_t sourceHeight, std::size_t width,
                std::size_t height, bool keepAspect);

// Draws a pointer image (premultiplied ARGB, one 32-bit word a pixel, `pointerWidth` a row)
// over BGRA pixels, its top-left corner at (left, top) of the picture; only the part that
// overlaps the picture is drawn.
void drawPointer(std::uint8_t* bgra, std::size_t width, std::size_t height, std::size_t bytesPerRow,
                 const std::uint32_t* argb, std::size_t pointerWidth, std::size_t pointerHeight,
                 std::int64_t left, std::int64_t top);

// The NV12 picture a stream delivers, kept from frame to frame so that only the parts of the
// source that changed are read and converted again; the rest stays as it was. Every picture
// it holds equals a whole conversion of the source as it now is.
//
// A frame can be made straight into the buffer that is sent (begin): what changed since that
// buffer's last frame is first copied in from the latest picture, unless the frame remakes all
// of it anyway, and the buffer then is the latest picture. Without begin, frames are made in
// a picture of the composer's own.
class FrameComposer {
  public:
    // A part of the output to make again, and the source pixels it is made of.
    struct Job {
        Area output; // in the picture's own coordinates (the placement's corner is 0, 0)
        Area source;
    };

    FrameComposer(std::size_t width, std::size_t height, bool keepAspect);

    std::size_t width() const { return width_; }
    std::size_t height() const { return height_; }
    std::size_t bytesPerRow() const { return bytesPerRow_; }
    // The latest picture: the composer's own, or the buffer the last frame was made in.
    const std::uint8_t* luma() const { return latest_; }
    const std::uint8_t* chroma() const { return latest_ + bytesPerRow_ * height_; }
    std::size_t size() const { return picture_.size(); }

    // The size of the source now; a new one makes everything to be made again.
    void setSource(std::size_t sourceWidth, std::size_t sourceHeight);
    std::size_t sourceWidth() const { return sourceWidth_; }
    std::size_t sourceHeight() const { return sourceHeight_; }
    // Everything is to be made again (the source moved, or was away).
    void invalidate() { stale_ = true; }

    // What to read and make for these changed source areas: everything when the layout is new,
    // else each change grown by the filter's reach, close ones merged.
    std::vector<Job> plan(const std::vector<Area>& changed);
    // Makes the coming frame in `buffer` (size() bytes, this picture's layout), which holds
    // frame `held` (0 for none). `held` is 0 until the frame is finished: a frame left
    // unfinished leaves the buffer holding none. The buffer must stay unchanged by others
    // while it is the latest picture.
    void begin(std::uint8_t* buffer, std::uint64_t& held);
    // Makes a planned job's output from `pixels`, which hold at least the job's source area
    // and start at source pixel (pixelsX, pixelsY).
    void update(const Job& job, const BgraView& pixels, std::size_t pixelsX, std::size_t pixelsY);
    // Ends a frame's updates; the frame's number.
    std::uint64_t finish();
    // Brings a copy of the picture up to date: `held` is the frame the copy holds (0 for none),
    // and only what changed since is copied when that is known, else everything.
    void copyTo(std::uint8_t* luma, std::uint8_t* chroma, std::uint64_t& held) const;

  private:
    const std::size_t width_;
    const std::size_t height_;
    const bool keepAspect_;
    const std::size_t bytesPerRow_;
    std::size_t sourceWidth_ = 0;
    std::size_t sourceHeight_ = 0;
    bool stale_ = true;
    Placement placement_;
    std::unique_ptr<NV12Scaler> scaler_;
    NV12Scaler::Scratch scratch_[2];
    std::vector<std::uint8_t> picture_;
    // Where the latest picture is, and where the frame being made goes.
    const std::uint8_t* latest_ = nullptr;
    std::uint8_t* target_ = nullptr;
    // The frame being made still lacks what changed since its buffer's frame (begun, no update
    // yet); and its buffer's frame.
    bool catchingUp_ = false;
    std::uint64_t targetHeld_ = 0;
    // The latest plan remakes the whole picture, so the target's old contents do not matter.
    bool planWhole_ = false;
    // A frame was begun and not yet finished.
    bool making_ = false;
    // The areas of the picture (placement included) that each recent frame changed.
    struct Change {
        std::uint64_t frame = 0;
        bool all = false;
        std::vector<Area> areas;
    };
    std::vector<Area> changing_;
    bool changingAll_ = true;
    std::vector<Change> recent_;
    std::uint64_t frame_ = 0;

    NV12Target targetOf(std::uint8_t* buffer) const;
    // Brings the target up to date before the frame's first change to it.
    void catchUp();
};

} // namespace lumatap::media
