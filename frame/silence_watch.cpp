#include "frame/silence_watch.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <utility>

namespace tarnwick {

std::unique_ptr<kit::RepeatingTimer> startSilenceChecks(kit::SerialQueue& queue, std::function<void()> check) {
    // A line comes at most a quarter second after its moment, and a tick
    // may slip 50 ms more.
    constexpr std::chrono::milliseconds interval{250};
    constexpr std::chrono::milliseconds leeway{50};
    auto timer = std::make_unique<kit::RepeatingTimer>(queue, interval, interval, leeway, std::move(check));
    timer->resume();
    return timer;
}

namespace {

// Samples looked at between two checks for a non-zero one: enough for the
// compiler to vectorise the inner loop, few enough to stop early on audio.
constexpr std::size_t kChunk = 64;

// OR of every sample's bits but the sign: zero exactly when all are ±0.0.
std::uint32_t magnitudeBits(const float* samples, std::size_t count) noexcept {
    std::uint32_t any = 0;
    for (std::size_t i = 0; i < count; ++i) {
        std::uint32_t bits;
        std::memcpy(&bits, samples + i, sizeof bits);
        any |= bits << 1;
    }
    return any;
}

}  // namespace

bool isDigitalSilence(const float* samples, std::size_t count) noexcept {
    if (samples == nullptr) return true;
    std::size_t done = 0;
    // Whole chunks have a fixed length, which lets the compiler vectorise them.
    for (; count - done >= kChunk; done += kChunk) {
        if (magnitudeBits(samples + done, kChunk) != 0) return false;
    }
    return magnitudeBits(samples + done, count - done) == 0;
}

bool isDigitalSilence(const AudioBufferList& list) noexcept {
    // The list may be allocated for more buffers than its declared one.
    const auto* buffers = reinterpret_cast<const AudioBuffer*>(reinterpret_cast<const unsigned char*>(&list) +
                                                               offsetof(AudioBufferList, mBuffers));
    for (UInt32 i = 0; i < list.mNumberBuffers; ++i) {
        if (!isDigitalSilence(static_cast<const float*>(buffers[i].mData), buffers[i].mDataByteSize / sizeof(float))) {
            return false;
        }
    }
    return true;
}

std::string oneDecimalSeconds(double seconds) {
    char text[64];
    std::snprintf(text, sizeof text, "%.1f", seconds);
    return text;
}

void SilenceWatch::setFrameRate(double framesPerSecond) noexcept {
    const double rate = std::isfinite(framesPerSecond) && framesPerSecond > 0 ? framesPerSecond : 48000.0;
    rate_.store(rate);
    thresholdFrames_.store(static_cast<std::uint64_t>(std::ceil(thresholdSeconds_ * rate)));
}

void SilenceWatch::addCycle(bool silent, std::uint32_t frames) noexcept {
    if (frames == 0) return;
    const std::uint64_t word = current_.load(std::memory_order_relaxed);
    const std::uint32_t run = runOf(word);
    const std::uint64_t soFar = framesOf(word);
    if (silent) {
        const std::uint64_t total = soFar + frames;
        current_.store(pack(run, total > kFrameMask ? kFrameMask : total));
        return;
    }
    if (soFar == 0) return;
    if (soFar >= thresholdFrames_.load(std::memory_order_relaxed)) lastLongRun_.store(word);
    current_.store(pack(run + 1, 0));
}

std::optional<std::uint32_t> SilenceWatch::dueRun() const noexcept {
    if (reported_) return std::nullopt;
    const std::uint64_t word = current_.load();
    if (framesOf(word) == 0 || framesOf(word) < thresholdFrames_.load()) return std::nullopt;
    return runOf(word);
}

void SilenceWatch::markReported(std::uint32_t run) noexcept {
    reported_ = true;
    reportedRun_ = run;
}

std::optional<double> SilenceWatch::takeResumed() noexcept {
    if (!reported_ || resumedTaken_) return std::nullopt;
    const std::uint64_t word = lastLongRun_.load();
    if (framesOf(word) == 0 || runOf(word) != reportedRun_) return std::nullopt;
    resumedTaken_ = true;
    return static_cast<double>(framesOf(word)) / rate_.load();
}

}  // namespace tarnwick
