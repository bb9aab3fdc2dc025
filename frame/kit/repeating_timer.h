#pragma once
// A repeating timer whose handler runs as an item of a serial queue, so it
// never overlaps other work of that queue.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "frame/kit/serial_queue.h"

namespace tarnwick::kit {

class RepeatingTimer {
public:
    // Created suspended; `resume` arms it. The first tick comes `firstDelay`
    // after resume, then every `interval`. `leeway` is how late a tick may be.
    RepeatingTimer(SerialQueue& queue, std::chrono::nanoseconds firstDelay, std::chrono::nanoseconds interval,
                   std::chrono::nanoseconds leeway, std::function<void()> handler);
    ~RepeatingTimer();
    RepeatingTimer(const RepeatingTimer&) = delete;
    RepeatingTimer& operator=(const RepeatingTimer&) = delete;

    void resume();
    // After cancel returns no new tick is submitted; a tick already queued
    // finds the timer cancelled and does nothing.
    void cancel();

private:
    void run();

    SerialQueue& queue_;
    std::chrono::nanoseconds firstDelay_, interval_;
    // Kept for the record: ticks are never deliberately late (Clang warns
    // about a private field nothing reads).
    [[maybe_unused]] std::chrono::nanoseconds leeway_;
    std::shared_ptr<std::function<void()>> handler_;
    std::shared_ptr<std::atomic<bool>> cancelled_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::thread thread_;
};

}  // namespace tarnwick::kit
