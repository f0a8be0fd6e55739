#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace lumatap {

// A labelled queue that runs its tasks one at a time, in the order they were submitted, on a
// worker thread of its own. Stream callbacks are delivered through these, so a sink never
// sees two samples at once.
class SerialQueue {
  public:
    explicit SerialQueue(std::string label);
    ~SerialQueue();
    SerialQueue(const SerialQueue&) = delete;
    SerialQueue& operator=(const SerialQueue&) = delete;

    const std::string& label() const { return label_; }
    void async(std::function<void()> task);
    // Runs `task` in its turn like async, but on the calling thread at once when the queue is
    // idle (nothing queued, nothing running): a producer that is the queue's only user then
    // hands its samples over without waking the worker, which costs a thread switch a sample.
    // Otherwise the task waits behind the others on the worker.
    void perform(std::function<void()> task);
    // How many tasks wait to run (the running one not counted).
    std::size_t pending() const;

  private:
    void work();
    void start();

    std::string label_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::function<void()>> tasks_;
    bool stopping_ = false;
    // A task is running, on the worker or on a thread that performed it.
    bool running_ = false;
    std::thread worker_;
};

} // namespace lumatap
