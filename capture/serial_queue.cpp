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

void SerialQueue::async(std::function<void()> task) {
    {
        std::lock_guard lock(mutex_);
        tasks_.push_back(std::move(task));
        // The worker starts with the first task, so a queue that is never used costs no thread.
        if (!worker_.joinable()) {
            worker_ = std::thread([this] { work(); });
        }
    }
    wake_.notify_one();
}

std::size_t SerialQueue::pending() const {
    std::lock_guard lock(mutex_);
    return tasks_.size();
}

void SerialQueue::work() {
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [this] { return stopping_ || !tasks_.empty(); });
        if (tasks_.empty()) {
            return;
        }
        auto task = std::move(tasks_.front());
        tasks_.pop_front();
        lock.unlock();
        task();
        lock.lock();
    }
}

} // namespace lumatap
