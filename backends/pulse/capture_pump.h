#pragma once
// The backend's IO thread for one recording stream, as the platform's HAL has
// one per device. libpulse's event thread only copies what the server
// delivers into a ring of whole cycles and returns; this thread takes the
// cycles out and runs the caller's IO. A caller blocked on its own output (a
// parent that does not read) therefore never holds up the server's events,
// and the stop can interrupt that write: the event thread blocks every
// signal, this one does not.
//
// Each cycle carries the device position of its first frame. Frames the
// server never delivered advance that position without a cycle, so the
// caller sees the gap as a jump in sample time: a hole the server reports,
// cycles dropped here because the caller fell more than the ring behind, and
// time the server dropped without a word (a process that was not scheduled
// for seconds: the server keeps what its buffer holds and drops the rest).
// The last is measured on the host clock across the pause only, so the
// drift between the device's clock and the host's never counts as a gap.

#include <signal.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "frame/audio/platform_types.h"

namespace tarnwick::pulse {

// How much the ring holds: enough to ride out a caller that stalls for a
// moment, small enough not to weigh on the program's memory. What does not
// fit waits in libpulse's own buffer until the caller has caught up; the
// ring holds at least two of the largest fragments the server sends.
inline constexpr double kPumpRingSeconds = 0.5;
inline constexpr std::size_t kLargestFragmentBytes = 65536;
// A wake-up this much later than the previous one starts a gap measurement.
inline constexpr double kPumpLateSeconds = 0.25;
// What the measurement must find missing to count as a gap: well above the
// jitter of the server's deliveries, and above what a server that sends its
// backlog slowly after a late wake-up can make look missing, so that audio
// that was only late never becomes silence.
inline constexpr double kPumpGapSeconds = 0.5;
// Catching up ends after a window this long in which no more arrived than
// time allows, with some slack for the server's bursts; and in any case
// after the longest catch-up a server's buffer makes.
inline constexpr double kPumpWindowSeconds = 0.2;
inline constexpr double kPumpPaceTolerance = 1.25;
inline constexpr double kPumpCatchUpSeconds = 60;

class CapturePump {
public:
    // One cycle of `frames` frames at `data`; `sampleTime` is the device
    // position of its first frame, `hostTicks` when that frame arrived.
    using Cycle =
        std::function<void(const unsigned char* data, UInt32 frames, std::uint64_t sampleTime, std::uint64_t hostTicks)>;

    CapturePump() = default;
    ~CapturePump();
    CapturePump(const CapturePump&) = delete;
    CapturePump& operator=(const CapturePump&) = delete;

    // Before start(): cycles of `cycleFrames` frames of `frameBytes` bytes at
    // `rate` frames per second, with room for two fragments of
    // `fragmentBytes` at least; the only allocation.
    void allocate(UInt32 cycleFrames, std::size_t frameBytes, double rate, double ringSeconds = kPumpRingSeconds,
                  std::size_t fragmentBytes = kLargestFragmentBytes);
    UInt32 cycleFrames() const { return cycleFrames_; }

    // `fault` runs on the pump's thread after raiseFault(). The thread runs
    // with `signals` blocked, whatever the starting thread blocks (libpulse's
    // event thread blocks them all, and a blocked write must stay
    // interruptible).
    void start(Cycle cycle, std::function<void()> fault, const char* name, const sigset_t& signals);

    // Event thread only. A batch is what the server has ready at one wake-up:
    // `availableFrames` in all, the last of which arrived at `arrivedTicks`
    // (0: now) and was captured at `capturedTicks` (0: when it arrived).
    void beginBatch(std::size_t availableFrames, std::uint64_t arrivedTicks = 0, std::uint64_t capturedTicks = 0);
    void push(const unsigned char* data, std::size_t frames);
    // How many frames push() takes now without dropping any, and at most.
    std::size_t roomFrames() const;
    std::size_t capacityFrames() const { return slots_ * cycleFrames_; }
    // Frames the device produced that will never arrive.
    void skip(std::uint64_t frames);

    // Any thread: runs `fault` once on the pump's thread.
    void raiseFault() noexcept;

    // After this returns no new cycle begins; one already running finishes.
    void requestStop() noexcept;
    bool onThisThread() const noexcept;
    // Waits for the thread to end: not from the thread itself, nor from a
    // place the running cycle may be waiting for.
    void join();

    // Tests: cycles dropped because the caller fell behind.
    std::uint64_t droppedFrames() const { return dropped_.load(std::memory_order_relaxed); }

private:
    struct SlotInfo {
        std::uint64_t sampleTime = 0;
        std::uint64_t hostTicks = 0;
    };

    void run();
    unsigned char* slot(std::uint64_t index) { return storage_.get() + (index % slots_) * cycleBytes_; }
    void publish();
    void ring() noexcept;
    std::uint64_t hostTicksOf(std::uint64_t position) const;

    UInt32 cycleFrames_ = 1;
    std::size_t frameBytes_ = 1;
    std::size_t cycleBytes_ = 1;
    std::size_t slots_ = 1;
    double ticksPerFrame_ = 0;
    std::unique_ptr<unsigned char[]> storage_;
    std::unique_ptr<SlotInfo[]> infos_;

    // Producer (event thread) only.
    std::uint64_t position_ = 0;  // device position of the next frame to arrive
    UInt32 fill_ = 0;             // frames in the slot being filled
    std::uint64_t slotStart_ = 0;
    bool slotClaimed_ = false;
    std::uint64_t batchEnd_ = 0;
    std::uint64_t batchTicks_ = 0;     // when the batch arrived
    std::uint64_t capturedTicks_ = 0;  // when its last frame was captured
    bool anyBatch_ = false;
    bool catchingUp_ = false;  // after a late wake-up, until deliveries come at the pace of time
    std::uint64_t gapTicks_ = 0;     // the last batch before the late one
    std::uint64_t gapPosition_ = 0;  // and where it ended
    std::uint64_t windowTicks_ = 0;  // the window of deliveries being watched
    std::uint64_t windowPosition_ = 0;
    double rate_ = 0;

    // Event thread: what the server dropped while this process was away.
    void measureGap(std::size_t availableFrames, std::uint64_t now);

    std::atomic<std::uint64_t> head_{0};  // next slot the pump takes
    std::atomic<std::uint64_t> tail_{0};  // next slot the event thread fills
    std::atomic<std::uint32_t> bell_{0};  // rung on every publish, fault and stop
    std::atomic<bool> running_{false};
    std::atomic<bool> faultRaised_{false};
    std::atomic<std::uint64_t> dropped_{0};

    Cycle cycle_;
    std::function<void()> fault_;
    std::thread thread_;
};

}  // namespace tarnwick::pulse
