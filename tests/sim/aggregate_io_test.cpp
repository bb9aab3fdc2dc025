// Process taps and aggregate devices: the IO cycles the system-audio program
// records, in each tap layout, and the guarantees around stopping them.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

#include "backends/model/status_codes.h"
#include "frame/kit/serial_queue.h"
#include "tests/sim/sim_test_support.h"

namespace tarnwick::sim::testing {
namespace {

using namespace tarnwick::audio;
using model::kBadDeviceError;

// Records what every cycle carried, in memory reserved up front.
struct CycleRecorder {
    explicit CycleRecorder(kit::SerialQueue* q) : queue(q) { cycles.resize(20000); }

    struct Cycle {
        double sampleTime = 0;
        UInt32 inBuffers = 0;
        UInt32 inChannels = 0;  // of buffer 0
        UInt32 inBytes = 0;     // of buffer 0
        bool hasOutput = false;
        UInt32 outBuffers = 0;
        UInt32 outChannels = 0;
        UInt32 outBytes = 0;
        bool outputZero = true;
        bool counterExact = true;
        bool onQueue = false;
    };

    void onCycle(const AudioTimeStamp* now, const AudioBufferList* in, AudioBufferList* out) {
        std::size_t k = count.load(std::memory_order_relaxed);
        if (k >= cycles.size()) return;
        Cycle c;
        c.sampleTime = now->mSampleTime;
        c.onQueue = queue->isCurrent();
        c.inBuffers = in->mNumberBuffers;
        if (in->mNumberBuffers > 0) {
            c.inChannels = in->mBuffers[0].mNumberChannels;
            c.inBytes = in->mBuffers[0].mDataByteSize;
        }
        auto first = static_cast<std::uint64_t>(now->mSampleTime);
        UInt32 channelBase = 0;
        for (UInt32 b = 0; b < in->mNumberBuffers; ++b) {
            const AudioBuffer& buffer = in->mBuffers[b];
            UInt32 channels = buffer.mNumberChannels;
            UInt32 frames = channels ? buffer.mDataByteSize / (4 * channels) : 0;
            const auto* samples = static_cast<const float*>(buffer.mData);
            for (UInt32 i = 0; i < frames; ++i) {
                for (UInt32 ch = 0; ch < channels; ++ch) {
                    if (samples[i * channels + ch] != counterValue(channelBase + ch, first + i)) c.counterExact = false;
                }
            }
            channelBase += channels;
        }
        if (out) {
            c.hasOutput = true;
            c.outBuffers = out->mNumberBuffers;
            if (out->mNumberBuffers > 0) {
                c.outChannels = out->mBuffers[0].mNumberChannels;
                c.outBytes = out->mBuffers[0].mDataByteSize;
                const auto* samples = static_cast<const float*>(out->mBuffers[0].mData);
                for (UInt32 i = 0; i < c.outBytes / 4; ++i) c.outputZero = c.outputZero && samples[i] == 0.0f;
            }
        }
        cycles[k] = c;
        count.store(k + 1, std::memory_order_release);
        if (onCycleDone) onCycleDone(k + 1);
    }

    kit::SerialQueue* queue;
    std::vector<Cycle> cycles;
    std::atomic<std::size_t> count{0};
    std::function<void(std::size_t)> onCycleDone;  // set before the device starts
};

struct TapRig {
    AudioObjectID tap = 0;
    AudioObjectID aggregate = 0;
    AudioDeviceIOProcID proc = nullptr;
};

TapRig buildRig(AudioSystem& system, CycleRecorder& recorder, const std::string& mainUid = "spk") {
    TapRig rig;
    TapDescription description;
    description.name = "rig tap";
    description.isPrivate = true;
    description.uuid = "0F0F0F0F-0000-4000-8000-000000000001";
    EXPECT_EQ(system.AudioHardwareCreateProcessTap(description, &rig.tap), 0);
    nlohmann::json desc = {{"name", "Rig"},
                           {"uid", "RIG-AGG"},
                           {"master", mainUid},
                           {"private", true},
                           {"stacked", false},
                           {"tapautostart", true},
                           {"subdevices", {{{"uid", mainUid}}}},
                           {"taps", {{{"drift", true}, {"uid", description.uuid}}}}};
    EXPECT_EQ(system.AudioHardwareCreateAggregateDevice(desc, &rig.aggregate), 0);
    EXPECT_EQ(system.AudioDeviceCreateIOProcIDWithBlock(
                  &rig.proc, rig.aggregate, recorder.queue,
                  [&recorder](const AudioTimeStamp* now, const AudioBufferList* in, const AudioTimeStamp*,
                              AudioBufferList* out, const AudioTimeStamp*) { recorder.onCycle(now, in, out); }),
              0);
    return rig;
}

void tearDown(AudioSystem& system, const TapRig& rig) {
    EXPECT_EQ(system.AudioDeviceStop(rig.aggregate, rig.proc), 0);
    EXPECT_EQ(system.AudioDeviceDestroyIOProcID(rig.aggregate, rig.proc), 0);
    EXPECT_EQ(system.AudioHardwareDestroyAggregateDevice(rig.aggregate), 0);
    EXPECT_EQ(system.AudioHardwareDestroyProcessTap(rig.tap), 0);
}

void expectContiguous(const CycleRecorder& recorder, UInt32 frames) {
    for (std::size_t k = 1; k < recorder.count.load(); ++k) {
        ASSERT_EQ(recorder.cycles[k].sampleTime, recorder.cycles[k - 1].sampleTime + frames) << "cycle " << k;
    }
}

// What every recorded cycle carried: its input list (the size of buffer 0)
// and, where the device hands one, its output list, left zeroed.
struct CycleShape {
    UInt32 inBuffers, inChannels, inBytes;
    bool output;
    UInt32 outBuffers = 0, outChannels = 0, outBytes = 0;
};

// Every cycle has `shape`, ran on the recorder's queue and carried the
// counter exactly.
void expectEveryCycle(const CycleRecorder& recorder, const CycleShape& shape) {
    for (std::size_t k = 0; k < recorder.count.load(); ++k) {
        const auto& c = recorder.cycles[k];
        SCOPED_TRACE("cycle " + std::to_string(k));
        ASSERT_TRUE(c.onQueue);
        ASSERT_EQ(c.inBuffers, shape.inBuffers);
        ASSERT_EQ(c.inChannels, shape.inChannels);
        ASSERT_EQ(c.inBytes, shape.inBytes);
        ASSERT_TRUE(c.counterExact);
        ASSERT_EQ(c.hasOutput, shape.output);
        if (!shape.output) continue;
        ASSERT_EQ(c.outBuffers, shape.outBuffers);
        ASSERT_EQ(c.outChannels, shape.outChannels);
        ASSERT_EQ(c.outBytes, shape.outBytes);
        ASSERT_TRUE(c.outputZero);
    }
}

TEST(AggregateIO, PlanarCyclesCarryTheDeliveredChannels) {
    // Declared before the system: its IO threads use both until it closes.
    kit::SerialQueue queue("test.syscapture.io");
    CycleRecorder recorder(&queue);
    auto system = open(R"({"devices": [{"uid": "spk", "output_channels": 2, "buffer_frames": 512}],
        "tap": {"format": {"channels": 2, "planar": true}, "delivered_channels": 3, "aggregate_buffer_frames": 480,
                "signal": {"kind": "counter"}}})");
    TapRig rig = buildRig(*system, recorder);
    EXPECT_EQ(rig.tap, 1000u);
    EXPECT_EQ(rig.aggregate, 1001u);
    ASSERT_EQ(system->AudioDeviceStart(rig.aggregate, rig.proc), 0);
    ASSERT_TRUE(eventually([&] { return recorder.count.load() >= 20; }));
    tearDown(*system, rig);

    ASSERT_NO_FATAL_FAILURE(expectEveryCycle(recorder, {3, 1, 480 * 4, true, 1, 2, 480 * 8}));
    expectContiguous(recorder, 480);
}

TEST(AggregateIO, InterleavedCyclesWithoutOutputList) {
    kit::SerialQueue queue("test.io");
    CycleRecorder recorder(&queue);
    auto system = open(R"({"devices": [{"uid": "spk", "output_channels": 2}],
        "tap": {"format": {"channels": 2, "planar": false}, "output_list": false, "signal": {"kind": "counter"}}})");
    TapRig rig = buildRig(*system, recorder);
    ASSERT_EQ(system->AudioDeviceStart(rig.aggregate, rig.proc), 0);
    ASSERT_TRUE(eventually([&] { return recorder.count.load() >= 10; }));
    tearDown(*system, rig);
    ASSERT_NO_FATAL_FAILURE(expectEveryCycle(recorder, {1, 2, 512 * 8, false}));
    expectContiguous(recorder, 512);
}

TEST(AggregateIO, BufferSizeInForceAtStartSetsTheCycleSize) {
    kit::SerialQueue queue("test.io");
    CycleRecorder recorder(&queue);
    auto system = open(R"({"devices": [{"uid": "spk", "output_channels": 2}],
                           "tap": {"aggregate_buffer_frames": 1024, "signal": {"kind": "counter"}}})");
    TapRig rig = buildRig(*system, recorder);
    UInt32 frames = 256;
    auto a = address(kPropBufferFrameSize);
    ASSERT_EQ(system->AudioObjectSetPropertyData(rig.aggregate, &a, 0, nullptr, 4, &frames), 0);
    ASSERT_EQ(system->AudioDeviceStart(rig.aggregate, rig.proc), 0);
    ASSERT_TRUE(eventually([&] { return recorder.count.load() >= 5; }));
    ASSERT_EQ(system->AudioDeviceStop(rig.aggregate, rig.proc), 0);
    std::size_t firstRun = recorder.count.load();
    for (std::size_t k = 0; k < firstRun; ++k) ASSERT_EQ(recorder.cycles[k].inBytes, 256u * 4);

    // A change while running waits for the next start.
    frames = 128;
    ASSERT_EQ(system->AudioObjectSetPropertyData(rig.aggregate, &a, 0, nullptr, 4, &frames), 0);
    ASSERT_EQ(system->AudioDeviceStart(rig.aggregate, rig.proc), 0);
    ASSERT_TRUE(eventually([&] { return recorder.count.load() >= firstRun + 5; }));
    tearDown(*system, rig);
    for (std::size_t k = firstRun; k < recorder.count.load(); ++k) {
        ASSERT_EQ(recorder.cycles[k].inBytes, 128u * 4);
        ASSERT_TRUE(recorder.cycles[k].counterExact);
    }
}

TEST(AggregateIO, RunsAtTheMainSubDeviceRateWhateverTheTapClaims) {
    kit::SerialQueue queue("test.io");
    CycleRecorder recorder(&queue);
    auto opened = std::chrono::steady_clock::now();
    auto system = open(R"({"devices": [{"uid": "spk", "output_channels": 2, "sample_rate": 44100}],
                           "tap": {"format": {"sample_rate": 96000}, "aggregate_buffer_frames": 441}})");
    TapRig rig = buildRig(*system, recorder);
    AudioStreamBasicDescription format{};
    auto a = address(kPropTapFormat);
    UInt32 size = sizeof format;
    ASSERT_EQ(system->AudioObjectGetPropertyData(rig.tap, &a, 0, nullptr, &size, &format), 0);
    EXPECT_EQ(format.mSampleRate, 96000.0);
    ASSERT_EQ(system->AudioDeviceStart(rig.aggregate, rig.proc), 0);
    sleepSeconds(0.5);
    ASSERT_TRUE(eventually([&] { return recorder.count.load() >= 10; }));
    tearDown(*system, rig);
    double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - opened).count();
    double last = recorder.cycles[recorder.count.load() - 1].sampleTime;
    // Frames are 44100 per second since opening (not 96000): the last cycle
    // began no later than now, and not long before.
    EXPECT_LE(last, elapsed * 44100);
    EXPECT_GT(last, (elapsed - 1.0) * 44100);
}

TEST(AggregateIO, SilentStartsCountAggregateStarts) {
    kit::SerialQueue queue("test.io");
    CycleRecorder recorder(&queue);
    auto system = open(R"({"devices": [{"uid": "spk", "output_channels": 2}], "tap": {"silent_starts": 1}})");
    TapRig rig = buildRig(*system, recorder);
    ASSERT_EQ(system->AudioDeviceStart(rig.aggregate, rig.proc), 0);
    sleepSeconds(0.3);
    EXPECT_EQ(recorder.count.load(), 0u);
    ASSERT_EQ(system->AudioDeviceStop(rig.aggregate, rig.proc), 0);
    ASSERT_EQ(system->AudioDeviceStart(rig.aggregate, rig.proc), 0);
    EXPECT_TRUE(eventually([&] { return recorder.count.load() >= 1; }));
    tearDown(*system, rig);
}

TEST(AggregateIO, NoCycleAfterStopWhereverStopIsCalledFrom) {
    kit::SerialQueue queue("test.io");
    CycleRecorder recorder(&queue);
    auto system = open(R"({"devices": [{"uid": "spk", "output_channels": 2, "buffer_frames": 128}],
                           "tap": {"aggregate_buffer_frames": 128}})");
    TapRig rig = buildRig(*system, recorder);

    // From the IO block itself.
    std::atomic<OSStatus> insideStatus{1};
    std::atomic<std::size_t> stopInsideAt{3};
    recorder.onCycleDone = [&](std::size_t n) {
        if (n == stopInsideAt.load()) insideStatus = system->AudioDeviceStop(rig.aggregate, rig.proc);
    };
    ASSERT_EQ(system->AudioDeviceStart(rig.aggregate, rig.proc), 0);
    ASSERT_TRUE(eventually([&] { return insideStatus.load() == 0; }));
    sleepSeconds(0.05);
    EXPECT_EQ(recorder.count.load(), 3u);

    // From another item of the IO queue, while the IO thread waits for that queue.
    stopInsideAt = 0;
    ASSERT_EQ(system->AudioDeviceStart(rig.aggregate, rig.proc), 0);
    ASSERT_TRUE(eventually([&] { return recorder.count.load() >= 5; }));
    std::size_t atStop = 0;
    queue.sync([&] {
        sleepSeconds(0.02);  // long enough for a cycle to be waiting for the queue
        EXPECT_EQ(system->AudioDeviceStop(rig.aggregate, rig.proc), 0);
        atStop = recorder.count.load();
    });
    sleepSeconds(0.05);
    EXPECT_EQ(recorder.count.load(), atStop);

    // From another thread: returns only once cycles have stopped.
    ASSERT_EQ(system->AudioDeviceStart(rig.aggregate, rig.proc), 0);
    ASSERT_TRUE(eventually([&] { return recorder.count.load() >= atStop + 3; }));
    ASSERT_EQ(system->AudioDeviceStop(rig.aggregate, rig.proc), 0);
    atStop = recorder.count.load();
    sleepSeconds(0.05);
    EXPECT_EQ(recorder.count.load(), atStop);
    tearDown(*system, rig);
}

TEST(AggregateIO, DestroyingTheAggregateStopsItsIO) {
    kit::SerialQueue queue("test.io");
    CycleRecorder recorder(&queue);
    auto system = open(R"({"devices": [{"uid": "spk", "output_channels": 2}]})");
    TapRig rig = buildRig(*system, recorder);
    ASSERT_EQ(system->AudioDeviceStart(rig.aggregate, rig.proc), 0);
    ASSERT_TRUE(eventually([&] { return recorder.count.load() >= 2; }));
    ASSERT_EQ(system->AudioHardwareDestroyAggregateDevice(rig.aggregate), 0);
    std::size_t after = recorder.count.load();
    sleepSeconds(0.05);
    EXPECT_EQ(recorder.count.load(), after);
    EXPECT_EQ(system->AudioDeviceStop(rig.aggregate, rig.proc), kBadObjectError);
    EXPECT_EQ(system->AudioHardwareDestroyProcessTap(rig.tap), 0);
    EXPECT_EQ(system->AudioHardwareDestroyProcessTap(rig.tap), kBadObjectError);
}

TEST(AggregateIO, ObjectIDsAreNeverReusedNorShared) {
    auto system = open(R"({"devices": [{"uid": "spk", "id": 1000, "output_channels": 2}]})");
    TapDescription description;
    description.uuid = "A";
    AudioObjectID first = 0, second = 0;
    ASSERT_EQ(system->AudioHardwareCreateProcessTap(description, &first), 0);
    EXPECT_EQ(first, 1001u);
    ASSERT_EQ(system->AudioHardwareDestroyProcessTap(first), 0);
    ASSERT_EQ(system->AudioHardwareCreateProcessTap(description, &second), 0);
    EXPECT_EQ(second, 1002u);
}

TEST(AggregateIO, DescriptionsMustNameWhatExists) {
    auto system = open(R"({"devices": [{"uid": "spk", "output_channels": 2}]})");
    AudioObjectID aggregate = 77;
    nlohmann::json noMain = {{"uid", "X"}, {"master", "nope"}, {"subdevices", nlohmann::json::array()}};
    EXPECT_EQ(system->AudioHardwareCreateAggregateDevice(noMain, &aggregate), kBadDeviceError);
    EXPECT_EQ(aggregate, 77u);
    nlohmann::json noTap = {{"uid", "X"}, {"master", "spk"}, {"taps", {{{"uid", "missing"}}}}};
    EXPECT_EQ(system->AudioHardwareCreateAggregateDevice(noTap, &aggregate), kBadObjectError);
    AudioDeviceIOProcID proc = nullptr;
    EXPECT_EQ(system->AudioDeviceCreateIOProcIDWithBlock(&proc, 4242, nullptr,
                                                         [](const AudioTimeStamp*, const AudioBufferList*,
                                                            const AudioTimeStamp*, AudioBufferList*,
                                                            const AudioTimeStamp*) {}),
              kBadObjectError);
    EXPECT_EQ(proc, nullptr);
}

}  // namespace
}  // namespace tarnwick::sim::testing
