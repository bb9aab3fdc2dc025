#pragma once
// A real-time IO thread: runs one cycle per `frames` device frames, each at its
// absolute deadline on the monotonic clock (so lateness never accumulates into
// drift), skipping the frames of a device stall. Its steady state allocates
// nothing and takes no lock.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>

#include "frame/audio/platform_types.h"

namespace tarnwick::sim {

struct IoPacing {
    std::int64_t anchorNs = 0;        // when `anchorFrame` is due
    std::uint64_t anchorFrame = 0;    // the device frame the first cycle starts at
    double rate = 48000.0;            // device frames per second
    UInt32 frames = 512;              // frames per cycle; 0 paces like 512 but carries none
    const std::atomic<std::int64_t>* stallUntilNs = nullptr;  // the device's stall, if any
};

// One cycle: device frames [first, first + frames), whose first frame was due at hostNs.
using IoCycle = std::function<void(std::uint64_t first, UInt32 frames, std::int64_t hostNs)>;

class IoThread {
public:
    IoThread() = default;
    ~IoThread();
    IoThread(const IoThread&) = delete;
    IoThread& operator=(const IoThread&) = delete;

    void start(const IoPacing& pacing, IoCycle cycle, const char* name);

    // After this returns no new cycle begins (one already running finishes).
    void requestStop() noexcept { running_.store(false, std::memory_order_release); }
    bool running() const noexcept { return running_.load(std::memory_order_acquire); }
    bool onThisThread() const noexcept;

    // Waits for the thread to end. Not from the thread itself.
    void join();

private:
    void run();

    IoPacing pacing_;
    IoCycle cycle_;
    std::atomic<bool> running_{false};
    // A stopped thread waits here until it is joined, so that one never
    // joined (its program exited first) is not a finished, unjoined thread.
    std::mutex exitMutex_;
    std::condition_variable exitAllowed_;
    bool joining_ = false;
    std::thread thread_;
};

}  // namespace tarnwick::sim
