// The IO paths of the simulated system are real-time paths: once running, a
// cycle allocates nothing, even with faults configured for its calls.
// Allocations are counted per thread.

#include <gtest/gtest.h>

#include <atomic>

#include "tests/sim/sim_test_support.h"
#include "tests/support/allocation_counter.h"

namespace tarnwick::sim::testing {
namespace {

using namespace tarnwick::audio;
using tarnwick::testing::allocationsOnThisThread;

// Faults that match every call of the IO paths but never fire.
const char* kFaults = R"("faults": [{"call": "AudioUnitRender", "after": 1000000000},
                                    {"call": "AudioConverter", "after": 1000000000}])";

TEST(RealTime, InputUnitSlicesDoNotAllocate) {
    auto system = open(std::string(R"({"devices": [{"uid": "mic", "input_channels": 2, "buffer_frames": 64,
                                        "signal": {"kind": "noise"}}], )") +
                       kFaults + "}");
    InputRecorder recorder(*system, true);
    recorder.threadCounter = &allocationsOnThisThread;
    ASSERT_NO_FATAL_FAILURE(recordSlices(recorder, 30));
    for (std::size_t k = 4; k < recorder.sliceCount(); ++k) {
        ASSERT_EQ(recorder.slices()[k].renderStatus, 0);
        ASSERT_EQ(recorder.slices()[k].threadCount, recorder.slices()[3].threadCount) << "allocated before slice " << k;
    }
}

// Runs an aggregate device for 30 cycles and checks that no cycle after the
// first few allocated on the IO thread. With a queue, each cycle takes its
// turn on it from the IO thread, as the system-audio engine's cycles do;
// without one the block runs on the IO thread itself, so only the
// simulator's own cycle is measured.
void expectDeviceCyclesAllocateNothing(kit::SerialQueue* queue) {
    auto system = open(R"({"devices": [{"uid": "spk", "output_channels": 2, "buffer_frames": 64}],
                           "tap": {"aggregate_buffer_frames": 64, "format": {"planar": false}}})");
    TapDescription description;
    description.uuid = "T";
    AudioObjectID tap = 0, aggregate = 0;
    ASSERT_EQ(system->AudioHardwareCreateProcessTap(description, &tap), 0);
    nlohmann::json desc = {{"uid", "A"}, {"master", "spk"}, {"taps", {{{"uid", "T"}}}}};
    ASSERT_EQ(system->AudioHardwareCreateAggregateDevice(desc, &aggregate), 0);
    std::vector<std::size_t> counts(1000);
    std::atomic<std::size_t> cycles{0};
    AudioDeviceIOProcID proc = nullptr;
    ASSERT_EQ(system->AudioDeviceCreateIOProcIDWithBlock(
                  &proc, aggregate, queue,
                  [&](const AudioTimeStamp*, const AudioBufferList*, const AudioTimeStamp*, AudioBufferList*,
                      const AudioTimeStamp*) {
                      std::size_t n = cycles.load();
                      if (n < counts.size()) {
                          counts[n] = allocationsOnThisThread();
                          cycles.store(n + 1);
                      }
                  }),
              0);
    ASSERT_EQ(system->AudioDeviceStart(aggregate, proc), 0);
    ASSERT_TRUE(eventually([&] { return cycles.load() >= 30; }));
    ASSERT_EQ(system->AudioDeviceStop(aggregate, proc), 0);
    for (std::size_t k = 4; k < cycles.load(); ++k) ASSERT_EQ(counts[k], counts[3]) << "allocated before cycle " << k;
    system->AudioDeviceDestroyIOProcID(aggregate, proc);
}

TEST(RealTime, DeviceCyclesDoNotAllocate) { expectDeviceCyclesAllocateNothing(nullptr); }

TEST(RealTime, DeviceCyclesRunOnAQueueWithoutAllocating) {
    kit::SerialQueue queue("test.io");
    expectDeviceCyclesAllocateNothing(&queue);
}

TEST(RealTime, ConversionCallsDoNotAllocate) {
    auto system = open(std::string(R"({"devices": [{"uid": "mic", "input_channels": 1}], )") + kFaults + "}");
    auto converter = system->makeConverter(44100, 48000);
    ASSERT_NE(converter, nullptr);
    std::vector<float> input(441, 0.25f), output(600);
    auto convertOnce = [&] {
        bool given = false;
        UInt32 produced = 0;
        converter->convert(output.data(), 600, &produced, nullptr, [&](const float** data, UInt32* frames) {
            if (given) return ConverterInputStatus::noDataNow;
            given = true;
            *data = input.data();
            *frames = 441;
            return ConverterInputStatus::haveData;
        });
    };
    for (int i = 0; i < 5; ++i) convertOnce();
    std::size_t before = allocationsOnThisThread();
    for (int i = 0; i < 50; ++i) convertOnce();
    EXPECT_EQ(allocationsOnThisThread(), before);
}

}  // namespace
}  // namespace tarnwick::sim::testing
