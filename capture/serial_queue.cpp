#include "capture/serial_queue.h"

namespace lumatap {

SerialQueue::SerialQueue(std::string label) : label_(std::move(label)) {
}

SerialQueue::~SerialQueue() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_one();
    if (worker_.joinable()) {
        worker_.join();
    }
}

void SerialQueue::start() {
    // The worker starts with the first task it is given, so a queue that is never used, or only
    // ever performed on, costs no thread.
    if (!worker_.joinable()) {
        worker_ = std::thread([this] { work(); });
    }
}

void SerialQueue::async(std::function<void()> task) {
    {
        std::lock_guard lock(mutex_);
        tasks_.push_back(std::move(task));
        start();
    }
    wake_.notify_one();
}

void SerialQueue::perform(std::function<void()> task) {
    {
        std::lock_guard lock(mutex_);
        if (running_ || !tasks_.empty()) {
            tasks_.push_back(std::move(task));
            start();
            // The worker may be waiting only for the running task to end; that end wakes it.
            wake_.notify_one();
            return;
        }
        running_ = true;
    }
    // Let go however the task ends, so that the queue is never left taken.
    struct Release {
        SerialQueue& queue;
        ~Release() {
            bool waiting = false;
            {
                std::lock_guard lock(queue.mutex_);
                queue.running_ = false;
                waiting = !queue.tasks_.empty();
            }
            if (waiting) {
                queue.wake_.notify_one();
            }
        }
    } release{*this};
    task();
}

std::size_t SerialQueue::pending() const {
    std::lock_guard lock(mutex_);
    return tasks_.size();
}

void SerialQueue::work() {
    std::unique_lock lock(mutex_);
    for (;;) {
        // A task performed on another thread runs alone: the next waits for its end.
        wake_.wait(lock, [this] {
            return (stopping_ && tasks_.empty()) || (!tasks_.empty() && !running_);
        });
        if (tasks_.empty()) {
            return;
        }
        auto task = std::move(tasks_.front());
        tasks_.pop_front();
        running_ = true;
        lock.unlock();
        task();
        lock.lock();
        running_ = false;
    }
}

} // namespace lumatap
