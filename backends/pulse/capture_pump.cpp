#include "backends/pulse/capture_pump.h"

#include <pthread.h>

#if defined(__linux__)
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string>

#include "frame/host_clock.h"
#include "frame/kit/thread_name.h"

namespace tarnwick::pulse {

CapturePump::~CapturePump() {
    requestStop();
    if (onThisThread()) {
        thread_.detach();  // the last owner let go from inside a cycle
    } else {
        join();
    }
}

void CapturePump::allocate(UInt32 cycleFrames, std::size_t frameBytes, double rate, double ringSeconds,
                           std::size_t fragmentBytes) {
    cycleFrames_ = std::max<UInt32>(cycleFrames, 1);
    frameBytes_ = std::max<std::size_t>(frameBytes, 1);
    cycleBytes_ = std::size_t{cycleFrames_} * frameBytes_;
    const double cycles = rate > 0 ? std::ceil(ringSeconds * rate / cycleFrames_) : 0;
    // At least two slots: the pump reads one while the next fills.
    slots_ = std::max({std::size_t{2}, static_cast<std::size_t>(cycles),
                       (2 * std::max(fragmentBytes, kLargestFragmentBytes) + cycleBytes_ - 1) / cycleBytes_});
    storage_ = std::make_unique<unsigned char[]>(slots_ * cycleBytes_);
    infos_ = std::make_unique<SlotInfo[]>(slots_);
    ticksPerFrame_ = rate > 0 ? 1.0 / (machSeconds(1'000'000) / 1e6) / rate : 0;
    rate_ = rate;
}

void CapturePump::start(Cycle cycle, std::function<void()> fault, const char* name, const sigset_t& signals) {
    cycle_ = std::move(cycle);
    fault_ = std::move(fault);
    running_.store(true, std::memory_order_release);
    thread_ = std::thread([this, label = std::string(name), signals] {
        ::pthread_sigmask(SIG_SETMASK, &signals, nullptr);
        kit::nameThisThread(label);
        run();
    });
}

void CapturePump::beginBatch(std::size_t availableFrames, std::uint64_t arrivedTicks, std::uint64_t capturedTicks) {
    const std::uint64_t now = arrivedTicks != 0 ? arrivedTicks : hostTicks();
    if (anyBatch_ && ticksPerFrame_ > 0) measureGap(availableFrames, now);
    anyBatch_ = true;
    batchEnd_ = position_ + availableFrames;
    batchTicks_ = now;
    capturedTicks_ = capturedTicks != 0 ? capturedTicks : now;
}

void CapturePump::measureGap(std::size_t availableFrames, std::uint64_t now) {
    const auto framesSince = [this, now](std::uint64_t ticks) {
        return static_cast<double>(now - ticks) / ticksPerFrame_;
    };
    const std::uint64_t end = position_ + availableFrames;
    if (!catchingUp_) {
        if (framesSince(batchTicks_) < kPumpLateSeconds * rate_) return;
        // What the server kept comes now, faster than time, and at whatever
        // pace the server sends it: the measurement ends once deliveries
        // have kept pace with time over a whole window.
        catchingUp_ = true;
        gapTicks_ = batchTicks_;
        gapPosition_ = batchEnd_;
        windowTicks_ = now;
        windowPosition_ = end;
        return;
    }
    const double window = framesSince(windowTicks_);
    if (window < kPumpWindowSeconds * rate_) return;
    const double arrived = static_cast<double>(end - windowPosition_);
    if (arrived > kPumpPaceTolerance * window && framesSince(gapTicks_) < kPumpCatchUpSeconds * rate_) {
        windowTicks_ = now;
        windowPosition_ = end;
        return;
    }
    catchingUp_ = false;
    const double missing = static_cast<double>(gapPosition_) + framesSince(gapTicks_) - static_cast<double>(end);
    // The gap is placed before this batch, after whatever the server kept.
    if (missing > kPumpGapSeconds * rate_) skip(static_cast<std::uint64_t>(std::llround(missing)));
}

std::uint64_t CapturePump::hostTicksOf(std::uint64_t position) const {
    // The frames of a batch were captured one after the other, up to its
    // last one.
    const std::uint64_t behind = batchEnd_ > position ? batchEnd_ - position : 0;
    const auto back = static_cast<std::uint64_t>(std::llround(static_cast<double>(behind) * ticksPerFrame_));
    return capturedTicks_ > back ? capturedTicks_ - back : 0;
}

std::size_t CapturePump::roomFrames() const {
    const std::uint64_t used = tail_.load(std::memory_order_relaxed) - head_.load(std::memory_order_acquire);
    const std::size_t free = used < slots_ ? slots_ - static_cast<std::size_t>(used) : 0;
    const std::size_t filled = slotClaimed_ ? fill_ : 0;
    return free * cycleFrames_ > filled ? free * cycleFrames_ - filled : 0;
}

void CapturePump::push(const unsigned char* data, std::size_t frames) {
    while (frames > 0) {
        if (!slotClaimed_) {
            if (tail_.load(std::memory_order_relaxed) - head_.load(std::memory_order_acquire) >= slots_) {
                // The caller is a whole ring behind: these frames are lost,
                // and the next cycle starts after them.
                position_ += frames;
                dropped_.fetch_add(frames, std::memory_order_relaxed);
                return;
            }
            slotClaimed_ = true;
            fill_ = 0;
        }
        if (fill_ == 0) slotStart_ = position_;
        const std::size_t take = std::min<std::size_t>(frames, cycleFrames_ - fill_);
        std::memcpy(slot(tail_.load(std::memory_order_relaxed)) + std::size_t{fill_} * frameBytes_, data,
                    take * frameBytes_);
        data += take * frameBytes_;
        frames -= take;
        fill_ += static_cast<UInt32>(take);
        position_ += take;
        if (fill_ == cycleFrames_) publish();
    }
}

void CapturePump::skip(std::uint64_t frames) {
    if (slotClaimed_ && fill_ > 0) {
        // Cycles keep their size: the part of the gap that falls inside the
        // cycle being filled becomes silence there.
        const auto pad = static_cast<UInt32>(std::min<std::uint64_t>(frames, cycleFrames_ - fill_));
        std::memset(slot(tail_.load(std::memory_order_relaxed)) + std::size_t{fill_} * frameBytes_, 0,
                    std::size_t{pad} * frameBytes_);
        fill_ += pad;
        position_ += pad;
        frames -= pad;
        if (fill_ == cycleFrames_) publish();
    }
    position_ += frames;
}

void CapturePump::publish() {
    const std::uint64_t tail = tail_.load(std::memory_order_relaxed);
    infos_[tail % slots_] = SlotInfo{slotStart_, hostTicksOf(slotStart_)};
    tail_.store(tail + 1, std::memory_order_release);
    slotClaimed_ = false;
    fill_ = 0;
    ring();
}

namespace {

static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t) &&
              std::atomic<std::uint32_t>::is_always_lock_free);

// The C++ library's atomic wait spins and yields before it sleeps, and its
// notify may do the same: at fifty wake-ups a second, on a busy machine, the
// yields cost more than the work. A futex sleeps and wakes at once.
void waitForBell(std::atomic<std::uint32_t>& bell, std::uint32_t seen) noexcept {
#if defined(__linux__)
    ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&bell), FUTEX_WAIT_PRIVATE, seen, nullptr, nullptr, 0);
#else
    bell.wait(seen, std::memory_order_acquire);
#endif
}

void wakeBell(std::atomic<std::uint32_t>& bell) noexcept {
#if defined(__linux__)
    ::syscall(SYS_futex, reinterpret_cast<std::uint32_t*>(&bell), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
#else
    bell.notify_one();
#endif
}

}  // namespace

void CapturePump::ring() noexcept {
    bell_.fetch_add(1, std::memory_order_release);
    wakeBell(bell_);
}

void CapturePump::raiseFault() noexcept {
    faultRaised_.store(true, std::memory_order_release);
    ring();
}

void CapturePump::requestStop() noexcept {
    running_.store(false, std::memory_order_release);
    ring();
}

bool CapturePump::onThisThread() const noexcept {
    return thread_.joinable() && thread_.get_id() == std::this_thread::get_id();
}

void CapturePump::join() {
    if (thread_.joinable() && !onThisThread()) thread_.join();
}

void CapturePump::run() {
    for (;;) {
        const std::uint32_t bell = bell_.load(std::memory_order_acquire);
        if (!running_.load(std::memory_order_acquire)) return;
        if (faultRaised_.exchange(false, std::memory_order_acq_rel)) {
            if (fault_) fault_();
            continue;
        }
        const std::uint64_t head = head_.load(std::memory_order_relaxed);
        if (head == tail_.load(std::memory_order_acquire)) {
            waitForBell(bell_, bell);
            continue;
        }
        const SlotInfo info = infos_[head % slots_];
        cycle_(slot(head), cycleFrames_, info.sampleTime, info.hostTicks);
        head_.store(head + 1, std::memory_order_release);
    }
}

}  // namespace tarnwick::pulse
