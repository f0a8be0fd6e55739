#include "capture/media/screen_stream.h"

#include <algorithm>
#include <new>

namespace lumatap::media {
namespace {

// The pointer's box, clipped to a source of the given size.
std::optional<Area> boxOf(const PointerImage& p, std::size_t sourceWidth,
                          std::size_t sourceHeight) {
    std::int64_t x0 = std::max<std::int64_t>(p.left, 0);
    std::int64_t y0 = std::max<std::int64_t>(p.top, 0);
    std::int64_t x1 = std::min<std::int64_t>(p.left + static_cast<std::int64_t>(p.width),
                                             static_cast<std::int64_t>(sourceWidth));
    std::int64_t y1 = std::min<std::int64_t>(p.top + static_cast<std::int64_t>(p.height),
                                             static_cast<std::int64_t>(sourceHeight));
    if (x1 <= x0 || y1 <= y0) {
        return std::nullopt;
    }
    return Area{static_cast<std::size_t>(x0), static_cast<std::size_t>(y0),
                static_cast<std::size_t>(x1 - x0), static_cast<std::size_t>(y1 - y0)};
}

// A flood of small changes is made again whole anyway; the list need not grow without bound
// while frames are dropped.
constexpr std::size_t mostPending = 256;

} // namespace

ScreenStream::ScreenStream(std::unique_ptr<FrameSource> source,
                           std::shared_ptr<const StreamConfiguration> configuration,
                           std::shared_ptr<StreamDelegate> delegate, Refusals refusals)
    : source_(std::move(source)), configuration_(std::move(configuration)),
      delegate_(std::move(delegate)), refusals_(std::move(refusals)) {
}

ScreenStream::~ScreenStream() {
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

bool ScreenStream::addStreamOutput(std::shared_ptr<StreamOutput> output, OutputType type,
                                   std::shared_ptr<SerialQueue> queue, ErrorPtr& error) {
    if (type != OutputType::screen || !output || !queue) {
        error = makeError(refusals_.domain, refusals_.noOutput,
                          "a screen stream delivers pictures only");
        return false;
    }
    std::lock_guard lock(outputsMutex_);
    outputs_.push_back({std::move(output), std::move(queue)});
    return true;
}

void ScreenStream::startCapture(std::function<void(ErrorPtr)> completion) {
    ErrorPtr error;
    if (thread_.joinable()) {
        error = makeError(refusals_.domain, refusals_.notStarted, "the stream has already started");
    } else {
        try {
            prepare(error);
        } catch (const std::bad_alloc&) {
            error = makeError(refusals_.domain, refusals_.noMemory,
                              "not enough memory for the stream's frames");
        }
        if (!error) {
            thread_ = std::thread([stream = weak_from_this(), source = source_,
                                   interval = interval_] { run(stream, source, interval); });
        }
    }
    completion(std::move(error));
}

void ScreenStream::prepare(ErrorPtr& error) {
    const StreamConfiguration none;
    const StreamConfiguration& c = configuration_ ? *configuration_ : none;
    if (c.pixelFormat && *c.pixelFormat != pixelFormat420v) {
        error = makeError(refusals_.domain, refusals_.unsupported,
                          "only 420v pictures can be streamed");
        return;
    }
    std::size_t firstWidth = 0;
    std::size_t firstHeight = 0;
    if (!source_->prepare(c, firstWidth, firstHeight, error)) {
        return;
    }
    // Without a configured size, the size of the first picture is the frame size.
    std::int64_t width = c.width.value_or(0);
    std::int64_t height = c.height.value_or(0);
    if (width < 1 || height < 1) {
        if (firstWidth == 0 || firstHeight == 0) {
            error = makeError(refusals_.domain, refusals_.notStarted,
                              "there is no picture to take the size from");
            return;
        }
        width = static_cast<std::int64_t>(firstWidth);
        height = static_cast<std::int64_t>(firstHeight);
    }
    interval_ = frameInterval(c);
    auto depth = static_cast<std::size_t>(std::clamp(c.queueDepth.value_or(3), 1, 8));
    pool_ = std::make_shared<PixelPool>(static_cast<std::size_t>(width),
                                        static_cast<std::size_t>(height), depth);
    composer_ = std::make_unique<FrameComposer>(static_cast<std::size_t>(width),
                                                static_cast<std::size_t>(height),
                                                c.preservesAspectRatio.value_or(true));
}

void ScreenStream::run(const std::weak_ptr<ScreenStream>& stream,
                       std::shared_ptr<FrameSource> source, Clock::duration interval) {
    auto next = Clock::now();
    for (;;) {
        Clock::time_point soonest;
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
                error = makeError(self->refusals_.domain, self->refusals_.noMemory,
                                  "not enough memory for the stream's frames");
            }
            if (!going) {
                // The stream is over: the delegate hears why, once, from this thread.
                self->delegate_->streamDidStopWithError(*self, error);
                return;
            }
            soonest = self->lastRead_ + interval;
        }
        next += interval;
        auto now = Clock::now();
        // A slow tick is not made up for with a burst of them.
        if (next < now) {
            next = now;
        }
        // The next tick comes at `next`, or sooner when the source reports a change meanwhile,
        // though never sooner than the minimum interval after the last read: a change after a
        // quiet spell is read at once, not a whole interval later.
        if (source->pending()) {
            next = std::min(next, std::max(soonest, now));
        } else {
            // A change reported before the soonest read waits for it anyway: sleeping until
            // then first saves waking for the report and again for the read.
            std::this_thread::sleep_until(std::min(soonest, next));
            if (source->wait(next)) {
                next = std::max(soonest, Clock::now());
            }
        }
        std::this_thread::sleep_until(next);
    }
}

void ScreenStream::absorb(const Changes& changes) {
    if (changes.width != sourceWidth_ || changes.height != sourceHeight_) {
        sourceWidth_ = changes.width;
        sourceHeight_ = changes.height;
        whole_ = true;
    }
    if (changes.whole) {
        whole_ = true;
    }
    if (!whole_) {
        pending_.insert(pending_.end(), changes.damage.begin(), changes.damage.end());
    }
    std::optional<Area> box;
    if (changes.pointer) {
        box = boxOf(*changes.pointer, sourceWidth_, sourceHeight_);
    }
    // The pointer is drawn over the picture, so where it was and where it is are remade.
    if (!whole_ && (box != pointerBox_ || (changes.pointerChanged && box))) {
        if (pointerBox_) {
            pending_.push_back(*pointerBox_);
        }
        if (box) {
            pending_.push_back(*box);
        }
    }
    pointer_ = changes.pointer;
    pointerBox_ = box;
    if (whole_ || pending_.size() > mostPending) {
        whole_ = true;
        pending_.clear();
    }
}

bool ScreenStream::tick(ErrorPtr& error) {
    Changes changes;
    if (!source_->report(changes, error)) {
        return false;
    }
    absorb(changes);
    if (sourceWidth_ == 0 || sourceHeight_ == 0 || (!whole_ && pending_.empty())) {
        // Nothing to show, or nothing new.
        deliver(sample(nullptr, FrameStatus::idle), true);
        return true;
    }
    // Every buffer is still held downstream: nothing is made now, and what changed waits.
    auto slot = pool_->take();
    if (!slot) {
        return true;
    }
    lastRead_ = Clock::now();
    // Made straight in the buffer that is sent; a frame left unfinished leaves it holding none.
    composer_->setSource(sourceWidth_, sourceHeight_);
    if (whole_) {
        composer_->invalidate();
    }
    composer_->begin(pool_->luma(*slot), slot->frame);
    bool made = make(error);
    if (!made && !error) {
        // The source changed shape since it reported: once more with what it says now.
        Changes again;
        if (!source_->report(again, error)) {
            return false;
        }
        absorb(again);
        whole_ = true;
        if (sourceWidth_ > 0 && sourceHeight_ > 0) {
            composer_->setSource(sourceWidth_, sourceHeight_);
            composer_->invalidate();
            made = make(error);
        }
    }
    if (!made) {
        if (error) {
            return false;
        }
        // Not readable for now (a window unmapped or off the screen): nothing to show until it
        // is back, and then all of it.
        composer_->invalidate();
        whole_ = true;
        pending_.clear();
        deliver(sample(nullptr, FrameStatus::idle), true);
        return true;
    }
    whole_ = false;
    pending_.clear();
    slot->frame = composer_->finish();
    auto picture = std::make_shared<PixelBuffer>();
    picture->planes = {{pool_->luma(*slot), pool_->bytesPerRow, pool_->height},
                       {pool_->chroma(*slot), pool_->bytesPerRow, pool_->chromaRows}};
    picture->storage = std::move(slot);
    deliver(sample(std::move(picture), FrameStatus::complete), false);
    return true;
}

bool ScreenStream::make(ErrorPtr& error) {
    auto jobs = composer_->plan(whole_ ? std::vector<Area>{} : pending_);
    if (jobs.empty()) {
        return true;
    }
    if (source_->readsOnce()) {
        // One read of the box around every change.
        Area box = jobs.front().source;
        for (const auto& job : jobs) {
            std::size_t right = std::max(box.x + box.width, job.source.x + job.source.width);
            std::size_t bottom = std::max(box.y + box.height, job.source.y + job.source.height);
            box.x = std::min(box.x, job.source.x);
            box.y = std::min(box.y, job.source.y);
            box.width = right - box.x;
            box.height = bottom - box.y;
        }
        auto view = source_->read(box, error);
        if (!view) {
            return false;
        }
        draw(*view, box.x, box.y);
        for (const auto& job : jobs) {
            composer_->update(job, *view, box.x, box.y);
        }
        return true;
    }
    for (const auto& job : jobs) {
        auto view = source_->read(job.source, error);
        if (!view) {
            // What was made already stays right; the rest is made again next time.
            return false;
        }
        draw(*view, job.source.x, job.source.y);
        composer_->update(job, *view, job.source.x, job.source.y);
    }
    return true;
}

void ScreenStream::draw(const BgraView& view, std::size_t viewX, std::size_t viewY) const {
    if (!pointer_ || !pointer_->argb) {
        return;
    }
    // The view's pixels are the source's own copy, ours to draw on until its next read.
    drawPointer(const_cast<std::uint8_t*>(view.data), view.width, view.height, view.bytesPerRow,
                pointer_->argb, pointer_->width, pointer_->height,
                pointer_->left - static_cast<std::int64_t>(viewX),
                pointer_->top - static_cast<std::int64_t>(viewY));
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
        // Given on this thread while the queue is idle, as it is whenever the consumer keeps up:
        // a frame then reaches the consumer without waking another thread.
        r.queue->perform([self = shared_from_this(), output = r.output, buffer] {
            output->streamDidOutputSampleBuffer(*self, buffer, OutputType::screen);
        });
    }
}

std::chrono::steady_clock::duration frameInterval(const StreamConfiguration& c) {
    double seconds = 1.0 / 60;
    if (c.minimumFrameInterval && c.minimumFrameInterval->timescale > 0 &&
        c.minimumFrameInterval->value > 0) {
        seconds =
            static_cast<double>(c.minimumFrameInterval->value) / c.minimumFrameInterval->timescale;
    }
    return std::max<Clock::duration>(
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds)),
        std::chrono::milliseconds(1));
}

} // namespace lumatap::media
