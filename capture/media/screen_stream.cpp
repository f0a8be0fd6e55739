#include "capture/media/picture_stream.h"

#include <algorithm>
#include <new>

namespace lumatap::media {

PictureStream::PictureStream(std::shared_ptr<StreamDelegate> delegate, Refusals refusals)
    : delegate_(std::move(delegate)), refusals_(std::move(refusals)) {
}

PictureStream::~PictureStream() {
    stopping_ = true;
    if (!thread_.joinable()) {
        return;
    }
    // The capture thread lets go last when the owner left during a step; it then ends by
    // itself without touching the stream again.
    if (thread_.get_id() == std::this_thread::get_id()) {
        thread_.detach();
    } else {
        thread_.join();
    }
}

bool PictureStream::addStreamOutput(std::shared_ptr<StreamOutput> output, OutputType type,
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

void PictureStream::startCapture(std::function<void(ErrorPtr)> completion) {
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
            thread_ = std::thread(capture());
        }
    }
    completion(std::move(error));
}

void PictureStream::deliver(const SampleBufferPtr& buffer, bool whenBehindSkip) {
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

std::chrono::steady_clock::duration frameInterval(const StreamConfiguration& c) {
    using Clock = std::chrono::steady_clock;
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
