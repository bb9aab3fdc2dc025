// The tap's IO block: runs once per cycle on ioQueue, on the audio system's
// real-time clock. Apart from the log lines of the first five cycles and of
// cycle 500, it allocates nothing and waits for nothing but the record gate
// and its own write.

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

#include "frame/device_timeline.h"
#include "frame/host_clock.h"
#include "frame/lifecycle.h"
#include "frame/log.h"
#include "frame/stdin_channel.h"
#include "frame/stream_writer.h"
#include "syscapture/process_tap_capture.h"
#include "syscapture/text_format.h"

namespace tarnwick::sys {

namespace {

constexpr std::int64_t loggedCycles = 5;
constexpr std::int64_t rateCycle = 500;

float sampleAt(const AudioBuffer& buffer, UInt32 index) {
    float value;
    std::memcpy(&value, static_cast<const unsigned char*>(buffer.mData) + std::size_t{4} * index, sizeof value);
    return value;
}

void logFirstCycle(std::int64_t count, UInt32 frames, const AudioBufferList* input, const AudioBufferList* output) {
    std::string out = output != nullptr && output->mNumberBuffers > 0
                          ? std::to_string(output->mBuffers[0].mDataByteSize / 4) + "f"
                          : std::string("nil");
    log("cb " + std::to_string(count) + ": in=" + std::to_string(frames) + "f out=" + out +
        " bufs=" + std::to_string(input->mNumberBuffers));
}

void logRate(std::uint64_t startTicks, std::uint64_t nowTicks, UInt32 frames) {
    const double elapsed = machSeconds(nowTicks - startTicks);
    const double rate = static_cast<double>(rateCycle - 1) / elapsed;
    char text[64];
    std::snprintf(text, sizeof text, "%.1f", rate);
    log(std::string("callback rate after 500 calls: ") + text + "/sec, " + std::to_string(frames) + "f each → " +
        std::to_string(truncateToInt64(rate * frames)) + "/sec effective");
}

bool writeOrStop(const void* data, std::size_t bytes) {
    if (writePcm(data, bytes)) return true;
    requestShutdown("stdout closed (parent gone)");
    return false;
}

}  // namespace

void ProcessTapCapture::handleIOCycle(const AudioBufferList* input, const AudioBufferList* output,
                                      const AudioTimeStamp* inputTime) noexcept {
    if (input == nullptr || input->mNumberBuffers == 0) return;
    const AudioBuffer& first = input->mBuffers[0];
    const bool planar = planar_.load(std::memory_order_relaxed);
    // 64-bit so that an absurd channel count cannot wrap the divisor to 0.
    const std::uint64_t channels = first.mNumberChannels > 1 ? first.mNumberChannels : 1;
    const std::uint64_t bytesPerFrame = planar ? 4 : 4 * channels;
    const auto frames = static_cast<UInt32>(first.mDataByteSize / bytesPerFrame);
    if (frames == 0) return;

    if (!firstCycleSignalled_.load(std::memory_order_relaxed) && !firstCycleSignalled_.exchange(true)) {
        firstCycle_.load(std::memory_order_acquire)->signal();
    }

    const std::int64_t count = callbackCount_.fetch_add(1, std::memory_order_relaxed) + 1;
    const std::uint64_t now = hostTicks();
    if (count == 1) callbackStartMachTime_.store(now, std::memory_order_relaxed);

    if (count <= loggedCycles) logFirstCycle(count, frames, input, output);
    const std::int32_t expected = expectedChannels_.load(std::memory_order_relaxed);
    if (count == 1) {
        const std::int64_t observed =
            planar ? std::min<std::int64_t>(input->mNumberBuffers, 2) : static_cast<std::int64_t>(channels);
        if (observed != expected) {
            log("WARNING: first callback channels " + std::to_string(observed) + " differ from header " +
                std::to_string(expected) + " — system.opus layout may be wrong");
        }
    }
    if (count == rateCycle) logRate(callbackStartMachTime_.load(std::memory_order_relaxed), now, frames);

    // Whether recording is on or not: the tap hears the same either way.
    silence_.addCycle(isDigitalSilence(*input), frames);

    if (!recordGate().read()) {
        // Idle time is not a gap: recording resumes on a fresh base.
        timeline_.pause();
        return;
    }
    if (!formatConfirmed_.load(std::memory_order_acquire)) return;

    const auto announced = static_cast<std::uint32_t>(std::max(expected, 1));
    // A cycle without its samples is not written; the next cycle finds its
    // time missing and fills it.
    if (first.mData == nullptr) return;
    if (planar && announced > 1 && input->mNumberBuffers >= 2 && input->mBuffers[1].mData == nullptr) return;

    const std::uint64_t fill = timeline_.enterCycle(inputTime, frames);
    if (fill > 0) {
        if (!writeSilence(fill, announced)) {
            requestShutdown("stdout closed (parent gone)");
            return;
        }
        timeline_.written(fill);
    }
    if (writeCycle(*input, frames, planar, channels, announced)) timeline_.written(frames);
}

// The stream carries exactly the channels its header announced, whatever
// the cycle delivers: channels beyond them are dropped, missing ones are
// silence.
bool ProcessTapCapture::writeCycle(const AudioBufferList& input, UInt32 frames, bool planar, std::uint64_t channels,
                                   std::uint32_t announced) noexcept {
    const AudioBuffer& first = input.mBuffers[0];
    if (planar) {
        if (announced == 1) return writeOrStop(first.mData, std::size_t{frames} * 4);
        const AudioBuffer* second = input.mNumberBuffers >= 2 ? &input.mBuffers[1] : nullptr;
        // The second buffer may hold fewer samples than the first, which sets
        // the frame count: its missing samples are silence rather than reads
        // beyond its end.
        const UInt32 secondFrames = second != nullptr ? second->mDataByteSize / 4 : 0;
        return writeFrames(frames, announced, [&](UInt32 frame, std::uint32_t c) {
            if (c == 0) return sampleAt(first, frame);
            return c == 1 && frame < secondFrames ? sampleAt(*second, frame) : 0.0f;
        });
    }
    if (channels == announced) {
        // Whole frames only: a trailing partial frame would shift every later
        // sample of the stream.
        return writeOrStop(first.mData, std::size_t{frames} * 4 * channels);
    }
    return writeFrames(frames, announced, [&](UInt32 frame, std::uint32_t c) {
        return c < channels ? sampleAt(first, static_cast<UInt32>(frame * channels + c)) : 0.0f;
    });
}

template <typename SampleAt>
bool ProcessTapCapture::writeFrames(UInt32 frames, std::uint32_t channels, SampleAt sampleAt) noexcept {
    float* room = room_.load(std::memory_order_acquire);
    const std::size_t roomFloats = roomFloats_.load(std::memory_order_acquire);
    // Pieces of whole frames while a frame fits the room; a cycle larger than
    // the room goes out piece after piece rather than allocating here.
    const std::size_t piece = roomFloats >= channels ? roomFloats / channels * channels : roomFloats;
    const std::size_t total = std::size_t{frames} * channels;
    for (std::size_t done = 0; done < total;) {
        const std::size_t count = std::min(piece, total - done);
        for (std::size_t i = 0; i < count; ++i) {
            const std::size_t at = done + i;
            room[i] = sampleAt(static_cast<UInt32>(at / channels), static_cast<std::uint32_t>(at % channels));
        }
        if (!writeOrStop(room, count * 4)) return false;
        done += count;
    }
    return true;
}

}  // namespace tarnwick::sys
