#include "backends/sim/io_thread.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "backends/sim/scenario.h"
#include "backends/sim/sim_clock.h"
#include "frame/kit/thread_name.h"

namespace tarnwick::sim {

IoThread::~IoThread() {
    requestStop();
    join();
}

void IoThread::start(const IoPacing& pacing, IoCycle cycle, const char* name) {
    pacing_ = pacing;
    if (!(pacing_.rate > 0)) pacing_.rate = kFallbackIoRate;
    cycle_ = std::move(cycle);
    running_.store(true, std::memory_order_release);
    thread_ = std::thread([this, label = std::string(name)] {
        kit::nameThisThread(label);
        run();
        std::unique_lock lock(exitMutex_);
        exitAllowed_.wait(lock, [this] { return joining_; });
    });
}

bool IoThread::onThisThread() const noexcept {
    return thread_.joinable() && thread_.get_id() == std::this_thread::get_id();
}

void IoThread::join() {
    if (!thread_.joinable()) return;
    {
        std::lock_guard lock(exitMutex_);
        joining_ = true;
    }
    exitAllowed_.notify_all();
    thread_.join();
}

void IoThread::run() {
    const IoPacing p = pacing_;
    const UInt32 period = p.frames > 0 ? p.frames : kFallbackIoFrames;
    auto timeOf = [&p](std::uint64_t frame) {
        double offset = static_cast<double>(frame - p.anchorFrame) * 1e9 / p.rate;
        return p.anchorNs + static_cast<std::int64_t>(std::llround(offset));
    };
    auto frameOf = [&p](std::int64_t ns) {
        double frames = static_cast<double>(ns - p.anchorNs) * p.rate / 1e9;
        return p.anchorFrame + (frames > 0 ? static_cast<std::uint64_t>(std::floor(frames)) : 0);
    };

    std::uint64_t first = p.anchorFrame;
    for (;;) {
        // A cycle runs once its last frame has arrived.
        if (!sleepUntil(timeOf(first + period), running_)) return;
        if (p.stallUntilNs) {
            std::int64_t stallEnd = p.stallUntilNs->load(std::memory_order_acquire);
            if (stallEnd > monoNs()) {
                // The frames of the stall are lost: resume from the frame
                // that is due when the device comes back.
                if (!sleepUntil(stallEnd, running_)) return;
                first = std::max(first, frameOf(stallEnd));
                continue;
            }
        }
        cycle_(first, p.frames, timeOf(first));
        first += period;
    }
}

}  // namespace tarnwick::sim
