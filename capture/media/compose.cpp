#include "capture/media/compose.h"

#include <algorithm>
#include <cstring>
#include <system_error>
#include <thread>

namespace lumatap::media {

Placement place(std::size_t sourceWidth, std::size_t sourceHeight, std::size_t width,
                std::size_t height, bool keepAspect) {
    if (!keepAspect || sourceWidth == 0 || sourceHeight == 0) {
        return {0, 0, width, height};
    }
    Placement p;
    // Compared as products, so equal shapes fill the frame exactly.
    if (std::uint64_t{sourceWidth} * height <= std::uint64_t{sourceHeight} * width) {
        p.height = height;
        p.width = static_cast<std::size_t>(
            (std::uint64_t{sourceWidth} * height * 2 + sourceHeight) / (2 * sourceHeight));
    } else {
        p.width = width;
        p.height = static_cast<std::size_t>(
            (std::uint64_t{sourceHeight} * width * 2 + sourceWidth) / (2 * sourceWidth));
    }
    p.width = std::clamp<std::size_t>(p.width, 1, width);
    p.height = std::clamp<std::size_t>(p.height, 1, height);
    p.x = (width - p.width) / 2 & ~std::size_t{1};
    p.y = (height - p.height) / 2 & ~std::size_t{1};
    return p;
}

void drawPointer(std::uint8_t* bgra, std::size_t width, std::size_t height, std::size_t bytesPerRow,
                 const std::uint32_t* argb, std::size_t pointerWidth, std::size_t pointerHeight,
                 std::int64_t left, std::int64_t top) {
    const auto w = static_cast<std::int64_t>(width);
    const auto h = static_cast<std::int64_t>(height);
    const std::int64_t firstX = std::max<std::int64_t>(0, -left);
    const std::int64_t firstY = std::max<std::int64_t>(0, -top);
    const std::int64_t lastX = std::min(static_cast<std::int64_t>(pointerWidth), w - left);
    const std::int64_t lastY = std::min(static_cast<std::int64_t>(pointerHeight), h - top);
    for (std::int64_t py = firstY; py < lastY; ++py) {
        const std::uint32_t* from = argb + py * static_cast<std::int64_t>(pointerWidth);
        std::uint8_t* row = bgra + static_cast<std::size_t>(top + py) * bytesPerRow;
        for (std::int64_t px = firstX; px < lastX; ++px) {
            std::uint32_t p = from[px];
            std::uint32_t alpha = p >> 24;
            if (alpha == 0 && (p & 0xffffff) == 0) {
                continue;
            }
            std::uint8_t* to = row + static_cast<std::size_t>(left + px) * 4;
            // Premultiplied: the pointer's colour is added to what shows through it.
            std::uint32_t keep = 255 - alpha;
            for (int c = 0; c < 3; ++c) {
                std::uint32_t source = (p >> (8 * c)) & 0xff;
                std::uint32_t blended = source + (to[c] * keep + 127) / 255;
                to[c] = static_cast<std::uint8_t>(std::min<std::uint32_t>(blended, 255));
            }
        }
    }
}

namespace {

// Changes closer than this (in output pixels) are made in one go: a read costs a round trip,
// and a few rows or columns more cost less.
constexpr std::size_t nearby = 16;
// Beyond this many parts the bounding box of them all is made instead.
constexpr std::size_t mostParts = 8;
// A picture of more pixels than this is made in two halves on two threads, where there are two
// processors.
constexpr std::size_t largePicture = 1920 * 1080;

bool close(const Area& a, const Area& b) {
    return a.x <= b.x + b.width + nearby && b.x <= a.x + a.width + nearby &&
           a.y <= b.y + b.height + nearby && b.y <= a.y + a.height + nearby;
}

Area join(const Area& a, const Area& b) {
    std::size_t left = std::min(a.x, b.x);
    std::size_t top = std::min(a.y, b.y);
    std::size_t right = std::max(a.x + a.width, b.x + b.width);
    std::size_t bottom = std::max(a.y + a.height, b.y + b.height);
    return {left, top, right - left, bottom - top};
}

} // namespace

FrameComposer::FrameComposer(std::size_t width, std::size_t height, bool keepAspect)
    : width_(width), height_(height), keepAspect_(keepAspect), bytesPerRow_((width + 1) / 2 * 2),
      picture_(bytesPerRow_ * (height + (height + 1) / 2)), latest_(picture_.data()),
      target_(picture_.data()), catchingUp_(true) {
    paintBlack(targetOf(picture_.data()), width_, height_);
}

NV12Target FrameComposer::targetOf(std::uint8_t* buffer) const {
    return {buffer, bytesPerRow_, buffer + bytesPerRow_ * height_, bytesPerRow_};
}

void FrameComposer::setSource(std::size_t sourceWidth, std::size_t sourceHeight) {
    if (sourceWidth == sourceWidth_ && sourceHeight == sourceHeight_ && scaler_) {
        return;
    }
    sourceWidth_ = sourceWidth;
    sourceHeight_ = sourceHeight;
    Placement where = place(sourceWidth, sourceHeight, width_, height_, keepAspect_);
    // The bars of the new layout are painted with the whole picture it makes (catchUp).
    placement_ = where;
    scaler_ = std::make_unique<NV12Scaler>(sourceWidth, sourceHeight, where.width, where.height);
    stale_ = true;
    changingAll_ = true;
}

std::vector<FrameComposer::Job> FrameComposer::plan(const std::vector<Area>& changed) {
    planWhole_ = false;
    if (!scaler_ || scaler_->width() == 0) {
        return {};
    }
    std::vector<Area> parts;
    if (stale_) {
        parts.push_back({0, 0, scaler_->width(), scaler_->height()});
    } else {
        for (const Area& c : changed) {
            // Clipped to the source: damage may reach past a window that shrank.
            if (c.x >= sourceWidth_ || c.y >= sourceHeight_) {
                continue;
            }
            Area in{c.x, c.y, std::min(c.width, sourceWidth_ - c.x),
                    std::min(c.height, sourceHeight_ - c.y)};
            Area out = scaler_->outputArea(in);
            if (!out.empty()) {
                parts.push_back(out);
            }
        }
        // Merged until no two are close; few enough that the square cost does not matter.
        for (bool merged = true; merged;) {
            merged = false;
            for (std::size_t i = 0; i < parts.size() && !merged; ++i) {
                for (std::size_t j = i + 1; j < parts.size() && !merged; ++j) {
                    if (close(parts[i], parts[j])) {
                        parts[i] = join(parts[i], parts[j]);
                        parts.erase(parts.begin() + static_cast<std::ptrdiff_t>(j));
                        merged = true;
                    }
                }
            }
        }
        if (parts.size() > mostParts) {
            Area all = parts.front();
            for (const Area& a : parts) {
                all = join(all, a);
            }
            parts = {all};
        }
    }
    std::vector<Job> jobs;
    for (const Area& out : parts) {
        jobs.push_back({out, scaler_->sourceArea(out)});
        planWhole_ = planWhole_ || out == Area{0, 0, scaler_->width(), scaler_->height()};
    }
    return jobs;
}

void FrameComposer::begin(std::uint8_t* buffer, std::uint64_t& held) {
    if (making_ && !catchingUp_) {
        // The last frame ended part-way, perhaps in the latest picture itself.
        stale_ = true;
    }
    making_ = true;
    catchingUp_ = true;
    target_ = buffer;
    targetHeld_ = held;
    held = 0;
}

void FrameComposer::catchUp() {
    if (!catchingUp_) {
        return;
    }
    catchingUp_ = false;
    if (planWhole_) {
        // Nothing of the old picture stays but the bars; their chroma rows and columns start
        // even, and the picture's own edge rows and columns are converted over them after.
        const Placement& p = placement_;
        NV12Target all = targetOf(target_);
        auto paint = [&](std::size_t x, std::size_t y, std::size_t w, std::size_t h) {
            x &= ~std::size_t{1};
            y &= ~std::size_t{1};
            if (w > 0 && h > 0) {
                paintBlack({all.luma + y * bytesPerRow_ + x, bytesPerRow_,
                            all.chroma + y / 2 * bytesPerRow_ + x, bytesPerRow_},
                           std::min(w + 1, width_ - x), std::min(h + 1, height_ - y));
            }
        };
        const std::size_t right = p.x + p.width;
        const std::size_t bottom = p.y + p.height;
        paint(0, 0, width_, p.y);
        paint(0, bottom, width_, height_ - bottom);
        paint(0, p.y, p.x, p.height);
        paint(right, p.y, width_ - right, p.height);
        return;
    }
    if (target_ != latest_) {
        copyTo(target_, target_ + bytesPerRow_ * height_, targetHeld_);
    }
}

void FrameComposer::update(const Job& job, const BgraView& pixels, std::size_t pixelsX,
                           std::size_t pixelsY) {
    if (!scaler_) {
        return;
    }
    catchUp();
    const NV12Target all = targetOf(target_);
    NV12Target target{all.luma + placement_.y * bytesPerRow_ + placement_.x, bytesPerRow_,
                      all.chroma + placement_.y / 2 * bytesPerRow_ + placement_.x, bytesPerRow_};
    const Area& out = job.output;
    if (out.width * out.height > largePicture && out.height >= 4 &&
        std::thread::hardware_concurrency() >= 2) {
        // Halves split on an even row, so no chroma block is made by both.
        std::size_t half = out.height / 4 * 2;
        Area first{out.x, out.y, out.width, half};
        Area second{out.x, out.y + half, out.width, out.height - half};
        std::thread helper;
        try {
            helper = std::thread(
                [&] { scaler_->convert(pixels, pixelsX, pixelsY, second, target, scratch_[1]); });
        } catch (const std::system_error&) {
            // No thread to be had: this one does both halves.
            scaler_->convert(pixels, pixelsX, pixelsY, second, target, scratch_[1]);
        }
        scaler_->convert(pixels, pixelsX, pixelsY, first, target, scratch_[0]);
        if (helper.joinable()) {
            helper.join();
        }
    } else {
        scaler_->convert(pixels, pixelsX, pixelsY, out, target, scratch_[0]);
    }
    if (out == Area{0, 0, scaler_->width(), scaler_->height()}) {
        stale_ = false;
    }
    changing_.push_back({placement_.x + out.x, placement_.y + out.y, out.width, out.height});
}

std::uint64_t FrameComposer::finish() {
    // A frame that made nothing still brings its buffer up to date.
    catchUp();
    making_ = false;
    catchingUp_ = true;
    planWhole_ = false;
    latest_ = target_;
    ++frame_;
    Change change{frame_, changingAll_, {}};
    if (!changingAll_) {
        change.areas = std::move(changing_);
    }
    changing_.clear();
    changingAll_ = false;
    // A copy further behind than this is copied whole.
    constexpr std::size_t remembered = 8;
    if (recent_.size() == remembered) {
        recent_.erase(recent_.begin());
    }
    recent_.push_back(std::move(change));
    return frame_;
}

void FrameComposer::copyTo(std::uint8_t* luma, std::uint8_t* chroma, std::uint64_t& held) const {
    const bool known =
        held != 0 && held <= frame_ && !recent_.empty() && held + 1 >= recent_.front().frame;
    std::vector<Area> areas;
    bool all = !known;
    for (const Change& c : recent_) {
        if (all || c.frame <= held) {
            continue;
        }
        all = all || c.all;
        areas.insert(areas.end(), c.areas.begin(), c.areas.end());
    }
    held = frame_;
    const std::uint8_t* from = latest_;
    const std::uint8_t* fromChroma = from + bytesPerRow_ * height_;
    if (all) {
        std::memcpy(luma, from, bytesPerRow_ * height_);
        std::memcpy(chroma, fromChroma, picture_.size() - bytesPerRow_ * height_);
        return;
    }
    for (const Area& a : areas) {
        for (std::size_t y = a.y; y < a.y + a.height; ++y) {
            std::memcpy(luma + y * bytesPerRow_ + a.x, from + y * bytesPerRow_ + a.x, a.width);
        }
        // Areas start on even corners; their chroma pairs run to the end of the last block.
        std::size_t pairs = std::min((a.width + 1) / 2 * 2, bytesPerRow_ - a.x);
        for (std::size_t y = a.y / 2; y < (a.y + a.height + 1) / 2; ++y) {
            std::memcpy(chroma + y * bytesPerRow_ + a.x, fromChroma + y * bytesPerRow_ + a.x,
                        pairs);
        }
    }
}

} // namespace lumatap::media
