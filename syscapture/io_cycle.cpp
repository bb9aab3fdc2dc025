// The tap's IO block: runs once per cycle on ioQueue, on the audio system's
// real-time clock. Apart from the log lines of the first five cycles and of
// cycle 500, it allocates nothing and waits for nothing but the record gate
// and its own write.

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

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

}  // namespace

void ProcessTapCapture::handleIOCycle(const AudioBufferList* input, const AudioBufferList* output) noexcept {
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
    if (count == 1) {
        const std::int64_t observed =
            planar ? std::min<std::int64_t>(input->mNumberBuffers, 2) : static_cast<std::int64_t>(channels);
        const std::int32_t expected = expectedChannels_.load();
        if (observed != expected) {
            log("WARNING: first callback channels " + std::to_string(observed) + " differ from header " +
                std::to_string(expected) + " — system.opus layout may be wrong");
        }
    }
    if (count == rateCycle) logRate(callbackStartMachTime_.load(std::memory_order_relaxed), now, frames);

    // Whether recording is on or not: the tap hears the same either way.
    silence_.addCycle(isDigitalSilence(*input), frames);

    if (!recordGate().read()) return;

    if (planar && input->mNumberBuffers >= 2) {
        const AudioBuffer& second = input->mBuffers[1];
        if (first.mData == nullptr || second.mData == nullptr) return;
        writeInterleaved(first, second, frames);
        return;
    }
    if (first.mData == nullptr) return;
    // Whole frames only: a trailing partial frame would shift every later
    // sample of the stream.
    if (!writePcm(first.mData, std::size_t{frames} * bytesPerFrame)) requestShutdown("stdout closed (parent gone)");
}

void ProcessTapCapture::writeInterleaved(const AudioBuffer& left, const AudioBuffer& right, UInt32 frames) noexcept {
    // The right buffer may hold fewer samples than the left one, which sets
    // the frame count: its missing samples are written as silence rather than
    // read from beyond its end.
    const UInt32 rightFrames = right.mDataByteSize / 4;
    float* room = interleave_.load(std::memory_order_acquire);
    const UInt32 roomFrames = interleaveFrames_.load(std::memory_order_acquire);
    // A cycle larger than the room prepared for it goes out in pieces of
    // whole frames, one after the other, rather than allocating here.
    for (UInt32 done = 0; done < frames;) {
        const UInt32 piece = std::min(roomFrames, frames - done);
        for (UInt32 i = 0; i < piece; ++i) {
            const UInt32 index = done + i;
            room[2 * i] = sampleAt(left, index);
            room[2 * i + 1] = index < rightFrames ? sampleAt(right, index) : 0.0f;
        }
        if (!writePcm(room, std::size_t{8} * piece)) {
            requestShutdown("stdout closed (parent gone)");
            return;
        }
        done += piece;
    }
}

}  // namespace tarnwick::sys
