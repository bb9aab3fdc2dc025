#pragma once
// Digital silence: samples that are all exactly zero, of either sign. A
// capture that the operating system does not allow (or a muted microphone)
// runs normally in every other respect, so this is the one sign of it.
//
// The IO path feeds each cycle to `addCycle` (atomics only, no lock, no
// allocation). One other thread, the engine's listener queue, asks on a
// timer whether the current silent run has lasted the threshold and, once it
// has reported that run, whether the run has ended; the log lines are that
// thread's. A run is counted in frames of IO, so a stalled device does not
// make one longer.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "frame/audio/platform_types.h"
#include "frame/kit/repeating_timer.h"

namespace tarnwick {

// True when none of the `count` samples is non-zero (NaN counts as non-zero).
// Stops soon after the first non-zero sample.
bool isDigitalSilence(const float* samples, std::size_t count) noexcept;

// The same over every buffer of `list`, each by its byte size; buffers
// without data are skipped.
bool isDigitalSilence(const AudioBufferList& list) noexcept;

// "5.0": seconds with one decimal, as the log lines give them.
std::string oneDecimalSeconds(double seconds);

// The listener side's timer: `check` runs on `queue` four times a second,
// the first time a quarter second from now. Returned running.
std::unique_ptr<kit::RepeatingTimer> startSilenceChecks(kit::SerialQueue& queue, std::function<void()> check);

class SilenceWatch {
public:
    explicit SilenceWatch(double thresholdSeconds) : thresholdSeconds_(thresholdSeconds) {}

    // The IO rate, set before the IO that it describes starts.
    void setFrameRate(double framesPerSecond) noexcept;

    // IO path: one cycle of `frames` frames, silent or not.
    void addCycle(bool silent, std::uint32_t frames) noexcept;

    // Listener side, one thread at a time.
    // The current silent run when it has lasted the threshold and nothing
    // has been reported yet in this watch's life.
    std::optional<std::uint32_t> dueRun() const noexcept;
    // The silence line for `run` has been logged; no run is due after it.
    void markReported(std::uint32_t run) noexcept;
    // Once, after the reported run has ended: how long it lasted, in seconds.
    std::optional<double> takeResumed() noexcept;

private:
    // A run and its length in one word, so that a reader never pairs the
    // length of one run with the number of another: number in the top 16
    // bits, frames in the low 48 (years of IO at any rate).
    static constexpr unsigned kFrameBits = 48;
    static constexpr std::uint64_t kFrameMask = (std::uint64_t{1} << kFrameBits) - 1;
    static std::uint64_t pack(std::uint32_t run, std::uint64_t frames) noexcept {
        return (std::uint64_t{run & 0xFFFFu} << kFrameBits) | (frames & kFrameMask);
    }
    static std::uint32_t runOf(std::uint64_t word) noexcept { return static_cast<std::uint32_t>(word >> kFrameBits); }
    static std::uint64_t framesOf(std::uint64_t word) noexcept { return word & kFrameMask; }

    const double thresholdSeconds_;
    std::atomic<double> rate_{48000.0};
    std::atomic<std::uint64_t> thresholdFrames_{240000};

    // Written by the IO path only.
    std::atomic<std::uint64_t> current_{0};     // the run under way (frames 0: not silent)
    std::atomic<std::uint64_t> lastLongRun_{0};  // the latest run that ended after reaching the threshold

    // Listener side only.
    bool reported_ = false;
    bool resumedTaken_ = false;
    std::uint32_t reportedRun_ = 0;
};

}  // namespace tarnwick
