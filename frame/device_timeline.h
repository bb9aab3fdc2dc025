#pragma once
// Keeping a stream on the device's clock. Parents place audio by its position
// in the stream (a recorder lines up microphone and system audio, a
// transcriber stamps words with stream time), so time that the device or
// server skipped (a process that was not scheduled, a server that dropped
// data, a stalled device) becomes silence of the same length here instead of
// a stream that is quietly shorter from then on. Each IO cycle's sample time
// says where the device is; a cycle that starts after the end of the one
// before it has a gap in front of it.
//
// The same bookkeeping places stream frames on the host clock, so that a
// parent can line up two streams and measure each device's drift: for the
// first frame written after each base, and then every 10 s of stream, the IO
// path notes which frame was captured when, and the listener side logs it.
//
// Threads: beginAttempt runs while no IO cycle of the attempt can run; the
// IO path calls pause, enterCycle and written (no lock, no allocation); one
// other thread, the engine's listener queue, calls report on a timer and
// writes the log lines, so that a stderr nobody reads never holds up IO.

#include <array>
#include <atomic>
#include <cstdint>
#include <string>

#include "frame/audio/platform_types.h"

namespace tarnwick {

class DeviceTimeline {
public:
    // `source` names what skipped in the log line: "tap" or "input".
    explicit DeviceTimeline(std::string source) : source_(std::move(source)) {}

    // Before the attempt's first IO cycle: the device's rate, the stream's
    // rate (they differ when the engine resamples) and how long before a
    // cycle's host time its first frame was captured. The attempt's first
    // cycle sets the base.
    void beginAttempt(double deviceRate, double streamRate, std::uint64_t inputLatencyNanos) noexcept;

    // IO path. Nothing is being written (recording is off): the next cycle
    // that is written sets a new base, as the time in between is no gap.
    void pause() noexcept { based_ = false; }

    // IO path. A cycle of `frames` device frames stamped `stamp` (null, or a
    // stamp without a valid sample time, continues where the last cycle
    // ended): returns the stream frames of silence that go before it.
    std::uint64_t enterCycle(const AudioTimeStamp* stamp, std::uint32_t frames) noexcept;

    // IO path: `frames` stream frames of the current cycle went out, filled
    // or captured, in the order they were written.
    void written(std::uint64_t frames) noexcept;

    // Listener side: logs what is due. The gap line comes at most once a
    // second and sums every fill since the one before.
    void report();

    // Seconds of stream between two timeline lines of one base.
    static constexpr double lineIntervalSeconds = 10.0;

private:
    struct Point {
        std::uint64_t frame = 0;
        std::int64_t nanos = 0;
    };

    // Stream frames for `deviceFrames` frames of device time, rounded down.
    std::uint64_t streamFramesFor(std::uint64_t deviceFrames) const noexcept;

    const std::string source_;

    // Fixed per attempt.
    double deviceRate_ = 48000.0;
    double streamRate_ = 48000.0;
    bool sameRate_ = true;
    bool wholeRates_ = true;
    std::int64_t latencyNanos_ = 0;
    std::uint64_t lineInterval_ = 480000;

    // IO path only.
    bool based_ = false;
    std::int64_t next_ = 0;              // the sample time the next cycle should start at
    std::uint64_t deviceSinceBase_ = 0;  // device frames since the base, gaps included
    std::uint64_t baseFrame_ = 0;        // the stream frame of the base cycle's first device frame
    std::uint64_t gapTotal_ = 0;         // device frames filled this attempt
    std::uint64_t fillTotal_ = 0;        // stream frames filled for them
    std::uint64_t streamFrames_ = 0;     // stream frames written, for the life of the stream
    bool lineDue_ = false;               // the next frame written starts a base
    bool cycleWritten_ = false;          // the current cycle has written a frame
    std::uint64_t lastLineFrame_ = 0;
    double cycleFrame_ = 0;        // where the cycle's first device frame belongs in the stream
    std::int64_t cycleNanos_ = 0;  // when that frame was captured

    // From the IO path to the listener side.
    std::atomic<double> reportRate_{48000.0};
    std::atomic<std::uint64_t> filledDeviceFrames_{0};
    // Timeline points, one producer (IO path) and one consumer; a point that
    // finds the ring full is dropped rather than waited for.
    static constexpr std::size_t kPoints = 16;
    std::array<Point, kPoints> points_{};
    std::atomic<std::uint64_t> pointsPushed_{0};
    std::atomic<std::uint64_t> pointsTaken_{0};

    // Listener side only.
    std::uint64_t lastGapLineTicks_ = 0;
    bool gapLineLogged_ = false;
};

// Writes `frames` frames of `channels` zero samples to the stream, from one
// static block written as often as it takes. False when a write failed (the
// parent is gone, or a stop cut it short). Real-time safe.
bool writeSilence(std::uint64_t frames, std::uint32_t channels) noexcept;

}  // namespace tarnwick
