// What every stream of pictures does the same way, whatever desktop it reads: it takes screen
// outputs, starts one capture thread of its own, hands samples to its outputs' queues, and
// lets the thread end by itself when the stream goes.
#pragma once

#include "capture/platform.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace lumatap::media {

class PictureStream : public Stream, public std::enable_shared_from_this<PictureStream> {
  public:
    // The errors this stream's own refusals are reported with.
    struct Refusals {
        std::string domain;
        std::int64_t noOutput = 0;
        std::int64_t notStarted = 0;
        std::int64_t noMemory = 0;
    };

    PictureStream(std::shared_ptr<StreamDelegate> delegate, Refusals refusals);
    ~PictureStream() override;

    bool addStreamOutput(std::shared_ptr<StreamOutput> output, OutputType type,
                         std::shared_ptr<SerialQueue> queue, ErrorPtr& error) override;
    // Prepares the capture on the caller's thread, then starts the capture thread.
    void startCapture(std::function<void(ErrorPtr)> completion) override;

  protected:
    // Everything that can fail before the first picture; `error` says what did.
    virtual void prepare(ErrorPtr& error) = 0;
    // The capture thread's work. It holds the stream only for a step at a time (through a
    // weak reference it gets from weakSelf()), and ends when the stream goes or stopping is
    // set.
    virtual std::function<void()> capture() = 0;

    // Hands `sample` to every output's queue; an idle frame (`whenBehindSkip`) is not given to
    // a consumer that has not yet taken the last one.
    void deliver(const SampleBufferPtr& sample, bool whenBehindSkip);
    template <class Derived> std::weak_ptr<Derived> weakSelf() {
        return std::static_pointer_cast<Derived>(shared_from_this());
    }
    bool stopping() const { return stopping_; }

    const std::shared_ptr<StreamDelegate> delegate_;

  private:
    struct Registration {
        std::shared_ptr<StreamOutput> output;
        std::shared_ptr<SerialQueue> queue;
    };

    const Refusals refusals_;
    std::mutex outputsMutex_;
    std::vector<Registration> outputs_;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

// A stream that refuses to start, for the one reason it was made with.
class RefusedStream : public Stream {
  public:
    explicit RefusedStream(ErrorPtr error) : error_(std::move(error)) {}
    bool addStreamOutput(std::shared_ptr<StreamOutput>, OutputType, std::shared_ptr<SerialQueue>,
                         ErrorPtr&) override {
        return true;
    }
    void startCapture(std::function<void(ErrorPtr)> completion) override { completion(error_); }

  private:
    ErrorPtr error_;
};

// The time between reads that a configuration asks for: its minimum frame interval, 1/60 s
// without one, and never less than a millisecond, since reading the screen more often gains
// nothing and would only burn the processor.
std::chrono::steady_clock::duration frameInterval(const StreamConfiguration& configuration);

} // namespace lumatap::media
