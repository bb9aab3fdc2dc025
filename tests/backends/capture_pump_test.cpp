// How server chunks become IO cycles on the backend's IO thread: every cycle
// has the one fixed size, frames come out once each and in order, and each
// cycle's sample time is the device position of its first frame, so that
// what the server or a late caller lost shows as a jump and nothing else.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <vector>

#include "backends/pulse/capture_pump.h"

namespace tarnwick::pulse {
namespace {

constexpr std::size_t kFrameBytes = 8;  // float stereo

struct Cycles {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<float> samples;
    std::vector<std::uint64_t> sampleTimes;
    std::vector<UInt32> sizes;
    bool hold = false;  // a caller that does not return (a parent that does not read)

    CapturePump::Cycle sink() {
        return [this](const unsigned char* data, UInt32 frames, std::uint64_t sampleTime, std::uint64_t) {
            std::unique_lock lock(mutex);
            const std::size_t count = std::size_t{frames} * 2;
            const std::size_t at = samples.size();
            samples.resize(at + count);
            std::memcpy(samples.data() + at, data, count * sizeof(float));
            sampleTimes.push_back(sampleTime);
            sizes.push_back(frames);
            changed.notify_all();
            changed.wait(lock, [this] { return !hold; });
        };
    }
    bool waitFor(std::size_t cycles) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(10), [&] { return sizes.size() >= cycles; });
    }
    void release() {
        std::lock_guard lock(mutex);
        hold = false;
        changed.notify_all();
    }
};

sigset_t noSignals() {
    sigset_t none;
    sigemptyset(&none);
    return none;
}

std::vector<float> counting(std::size_t frames, float from) {
    std::vector<float> samples(frames * 2);
    for (std::size_t i = 0; i < samples.size(); ++i) samples[i] = from + static_cast<float>(i);
    return samples;
}

const unsigned char* bytes(const std::vector<float>& samples) {
    return reinterpret_cast<const unsigned char*>(samples.data());
}

TEST(CapturePump, IrregularChunksBecomeWholeCyclesInOrder) {
    Cycles out;
    CapturePump pump;
    pump.allocate(10, kFrameBytes, 48000);
    pump.start(out.sink(), nullptr, "test-io", noSignals());
    // 3 + 9 + 25 + 3 frames: cycles straddle chunks.
    float next = 0;
    pump.beginBatch(40);
    for (std::size_t frames : {3, 9, 25, 3}) {
        const std::vector<float> chunk = counting(frames, next);
        next += static_cast<float>(frames * 2);
        pump.push(bytes(chunk), frames);
    }
    ASSERT_TRUE(out.waitFor(4));
    pump.requestStop();
    pump.join();
    EXPECT_EQ(out.sizes, (std::vector<UInt32>{10, 10, 10, 10}));
    EXPECT_EQ(out.sampleTimes, (std::vector<std::uint64_t>{0, 10, 20, 30}));
    EXPECT_EQ(out.samples, counting(40, 0));
}

TEST(CapturePump, AHoleInsideACycleIsSilenceAndTheRestIsAJump) {
    Cycles out;
    CapturePump pump;
    pump.allocate(4, kFrameBytes, 48000);
    pump.start(out.sink(), nullptr, "test-io", noSignals());
    const std::vector<float> first = counting(3, 1);
    const std::vector<float> last = counting(4, 100);
    pump.beginBatch(3);
    pump.push(bytes(first), 3);
    pump.skip(9);  // one frame completes the cycle; eight are a jump
    pump.push(bytes(last), 4);
    ASSERT_TRUE(out.waitFor(2));
    pump.requestStop();
    pump.join();
    std::vector<float> expected = first;
    expected.resize(expected.size() + 2, 0.0f);
    expected.insert(expected.end(), last.begin(), last.end());
    EXPECT_EQ(out.sampleTimes, (std::vector<std::uint64_t>{0, 12}));
    EXPECT_EQ(out.samples, expected);
}

TEST(CapturePump, ACallerARingBehindLosesWholeCyclesAndSeesTheJump) {
    Cycles out;
    out.hold = true;
    CapturePump pump;
    // Cycles of the largest fragment and no time asked for: the two slots
    // the ring always has, one of them held by the cycle the caller has not
    // returned from.
    constexpr UInt32 kCycle = kLargestFragmentBytes / kFrameBytes;
    pump.allocate(kCycle, kFrameBytes, 48000, 0);
    ASSERT_EQ(pump.capacityFrames(), 2 * kCycle);
    pump.start(out.sink(), nullptr, "test-io", noSignals());
    const std::vector<float> chunk = counting(kCycle, 0);
    pump.beginBatch(5 * kCycle);
    pump.push(bytes(chunk), kCycle);  // taken by the held caller
    ASSERT_TRUE(out.waitFor(1));
    pump.push(bytes(chunk), kCycle);  // fits
    EXPECT_EQ(pump.roomFrames(), 0u) << "a reader of the room would push into a full ring";
    pump.push(bytes(chunk), kCycle);  // lost
    pump.push(bytes(chunk), kCycle);  // lost
    out.release();
    ASSERT_TRUE(out.waitFor(2));
    pump.push(bytes(chunk), kCycle);
    ASSERT_TRUE(out.waitFor(3));
    pump.requestStop();
    pump.join();
    EXPECT_EQ(out.sampleTimes, (std::vector<std::uint64_t>{0, kCycle, 4 * kCycle}));
    EXPECT_EQ(pump.droppedFrames(), 2u * kCycle);
}

}  // namespace
}  // namespace tarnwick::pulse
