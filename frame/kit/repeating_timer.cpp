#include "frame/kit/repeating_timer.h"

namespace tarnwick::kit {

RepeatingTimer::RepeatingTimer(SerialQueue& queue, std::chrono::nanoseconds firstDelay,
                               std::chrono::nanoseconds interval, std::chrono::nanoseconds leeway,
                               std::function<void()> handler)
    : queue_(queue),
      firstDelay_(firstDelay),
      interval_(interval),
      leeway_(leeway),
      handler_(std::make_shared<std::function<void()>>(std::move(handler))),
      cancelled_(std::make_shared<std::atomic<bool>>(false)) {}

RepeatingTimer::~RepeatingTimer() {
    cancel();
    if (thread_.joinable()) {
        if (thread_.get_id() == std::this_thread::get_id()) {
            thread_.detach();
        } else {
            thread_.join();
        }
    }
}

void RepeatingTimer::resume() {
    std::lock_guard lock(mutex_);
    if (thread_.joinable() || stop_) return;
    thread_ = std::thread([this] { run(); });
}

void RepeatingTimer::cancel() {
    cancelled_->store(true);
    {
        std::lock_guard lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
}

void RepeatingTimer::run() {
    // The timer fires on schedule; leeway only says how late it may be, and
    // we use none of it.
    auto next = std::chrono::steady_clock::now() + firstDelay_;
    std::unique_lock lock(mutex_);
    for (;;) {
        if (wake_.wait_until(lock, next, [this] { return stop_; })) return;
        auto handler = handler_;
        auto cancelled = cancelled_;
        queue_.async([handler, cancelled] {
            if (!cancelled->load()) (*handler)();
        });
        next += interval_;
        auto now = std::chrono::steady_clock::now();
        if (next < now) next = now;  // never burst to catch up
    }
}

}  // namespace tarnwick::kit
