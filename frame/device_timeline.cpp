#include "frame/device_timeline.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "frame/host_clock.h"
#include "frame/log.h"
#include "frame/stream_writer.h"

namespace tarnwick {

namespace {

bool isWhole(double value) { return std::isfinite(value) && value > 0 && value < 1e9 && value == std::floor(value); }

// A sample time as a whole frame number; fractions (a device that reports
// them) are rounded, values beyond any real position are clamped.
std::int64_t framePosition(double sampleTime) {
    constexpr double limit = 9.0e18;
    if (!std::isfinite(sampleTime)) return 0;
    return static_cast<std::int64_t>(std::llround(std::clamp(sampleTime, -limit, limit)));
}

}  // namespace

void DeviceTimeline::beginAttempt(double deviceRate, double streamRate, std::uint64_t inputLatencyNanos) noexcept {
    deviceRate_ = std::isfinite(deviceRate) && deviceRate > 0 ? deviceRate : 48000.0;
    streamRate_ = std::isfinite(streamRate) && streamRate > 0 ? streamRate : deviceRate_;
    sameRate_ = deviceRate_ == streamRate_;
    wholeRates_ = isWhole(deviceRate_) && isWhole(streamRate_);
    latencyNanos_ = static_cast<std::int64_t>(std::min<std::uint64_t>(inputLatencyNanos, 1'000'000'000'000ULL));
    lineInterval_ = static_cast<std::uint64_t>(std::llround(lineIntervalSeconds * streamRate_));
    based_ = false;
    gapTotal_ = 0;
    fillTotal_ = 0;
    reportRate_.store(deviceRate_);
}

std::uint64_t DeviceTimeline::streamFramesFor(std::uint64_t deviceFrames) const noexcept {
    if (sameRate_) return deviceFrames;
    if (wholeRates_) {
        // Exact, and split so that no product leaves 64 bits.
        const auto stream = static_cast<std::uint64_t>(streamRate_);
        const auto device = static_cast<std::uint64_t>(deviceRate_);
        return deviceFrames / device * stream + deviceFrames % device * stream / device;
    }
    return static_cast<std::uint64_t>(std::floor(static_cast<double>(deviceFrames) * streamRate_ / deviceRate_));
}

std::uint64_t DeviceTimeline::enterCycle(const AudioTimeStamp* stamp, std::uint32_t frames) noexcept {
    const bool timed = stamp != nullptr && (stamp->mFlags & audio::kTimeStampSampleTimeValid) != 0;
    const std::int64_t start = timed ? framePosition(stamp->mSampleTime) : next_;
    std::uint64_t gap = 0;
    if (!based_) {
        based_ = true;
        baseFrame_ = streamFrames_;
        deviceSinceBase_ = 0;
        lineDue_ = true;
    } else if (start > next_) {
        gap = static_cast<std::uint64_t>(start - next_);
    }
    // A cycle that starts early (the device went back) is written as it
    // comes: like a first cycle, it has nothing missing before it.
    next_ = start + static_cast<std::int64_t>(frames);

    const bool hostTimed =
        stamp != nullptr && (stamp->mFlags & audio::kTimeStampHostTimeValid) != 0 && stamp->mHostTime != 0;
    const auto hostNanos = static_cast<std::int64_t>(hostTicksToNanos(hostTimed ? stamp->mHostTime : hostTicks()));
    deviceSinceBase_ += gap;
    cycleFrame_ = static_cast<double>(baseFrame_) +
                  static_cast<double>(deviceSinceBase_) * (sameRate_ ? 1.0 : streamRate_ / deviceRate_);
    cycleNanos_ = hostNanos - latencyNanos_;
    cycleWritten_ = false;
    deviceSinceBase_ += frames;
    if (gap == 0) return 0;

    // Carried as totals, so that the fractions of many short gaps add up to
    // the frames they are worth rather than being lost one by one.
    gapTotal_ += gap;
    const std::uint64_t fillTotal = streamFramesFor(gapTotal_);
    const std::uint64_t fill = fillTotal - fillTotal_;
    fillTotal_ = fillTotal;
    filledDeviceFrames_.fetch_add(gap, std::memory_order_relaxed);
    return fill;
}

void DeviceTimeline::written(std::uint64_t frames) noexcept {
    if (frames == 0) return;
    if (!cycleWritten_) {
        cycleWritten_ = true;
        if (lineDue_ || streamFrames_ - lastLineFrame_ >= lineInterval_) {
            lineDue_ = false;
            lastLineFrame_ = streamFrames_;
            // The cycle's host time is its first device frame's; a frame
            // written before that one (held back by the converter, or filled
            // in front of it) was captured that much earlier.
            const double offset = (static_cast<double>(streamFrames_) - cycleFrame_) * 1e9 / streamRate_;
            const std::int64_t nanos = cycleNanos_ + static_cast<std::int64_t>(std::llround(offset));
            const std::uint64_t pushed = pointsPushed_.load(std::memory_order_relaxed);
            if (pushed - pointsTaken_.load(std::memory_order_acquire) < kPoints) {
                points_[pushed % kPoints] = Point{streamFrames_, std::max<std::int64_t>(nanos, 0)};
                pointsPushed_.store(pushed + 1, std::memory_order_release);
            }
        }
    }
    streamFrames_ += frames;
}

void DeviceTimeline::report() {
    const std::uint64_t pushed = pointsPushed_.load(std::memory_order_acquire);
    for (std::uint64_t taken = pointsTaken_.load(std::memory_order_relaxed); taken < pushed; ++taken) {
        const Point point = points_[taken % kPoints];
        pointsTaken_.store(taken + 1, std::memory_order_release);
        log("timeline: frame " + std::to_string(point.frame) + " captured at " + std::to_string(point.nanos) + " ns");
    }

    const std::uint64_t now = hostTicks();
    if (gapLineLogged_ && machSeconds(now - lastGapLineTicks_) < 1.0) return;
    const std::uint64_t frames = filledDeviceFrames_.exchange(0, std::memory_order_relaxed);
    if (frames == 0) return;
    // Whole milliseconds, rounded; a skip too short to round to one still
    // took place, and says 1.
    const double ms = std::round(static_cast<double>(frames) * 1000.0 / reportRate_.load());
    const auto whole = static_cast<unsigned long long>(std::max(1.0, std::min(ms, 1.0e15)));
    log(source_ + " skipped " + std::to_string(whole) + " ms of audio — filled with silence");
    gapLineLogged_ = true;
    lastGapLineTicks_ = now;
}

bool writeSilence(std::uint64_t frames, std::uint32_t channels) noexcept {
    static constexpr std::size_t kBlockSamples = 4096;
    alignas(16) static const float zeros[kBlockSamples] = {};
    const std::uint64_t perFrame = std::max<std::uint32_t>(channels, 1);
    // Whole frames per piece where a frame fits the block, so that a write
    // cut short by a stop leaves as few partial frames as any other write.
    const std::uint64_t piece = perFrame <= kBlockSamples ? kBlockSamples / perFrame * perFrame : kBlockSamples;
    std::uint64_t left = frames > std::numeric_limits<std::uint64_t>::max() / perFrame
                             ? std::numeric_limits<std::uint64_t>::max()
                             : frames * perFrame;
    while (left > 0) {
        const std::uint64_t count = std::min(piece, left);
        if (!writePcm(zeros, static_cast<std::size_t>(count) * sizeof(float))) return false;
        left -= count;
    }
    return true;
}

}  // namespace tarnwick
