// Fault injection: which calls a fault catches, when, and what a caught call
// does (returns the status, nothing else).

#include <gtest/gtest.h>

#include "tests/sim/sim_test_support.h"

namespace tarnwick::sim::testing {
namespace {

using namespace tarnwick::audio;

std::string scenarioWithFaults(const std::string& faults) {
    return R"({"devices": [{"uid": "mic", "input_channels": 2, "buffer_frames": 128, "signal": {"kind": "counter"}},
                           {"uid": "spk", "output_channels": 2}], "faults": )" +
           faults + "}";
}

AudioUnit newUnit(AudioSystem& system, OSStatus* status = nullptr) {
    AudioComponentDescription description{kUnitTypeOutput, kUnitSubTypeHALOutput, kUnitManufacturerApple, 0, 0};
    AudioUnit unit = nullptr;
    OSStatus s = system.AudioComponentInstanceNew(system.AudioComponentFindNext(nullptr, &description), &unit);
    if (status) *status = s;
    return unit;
}

TEST(Faults, AfterLetsThroughThenTimesFail) {
    auto system = open(scenarioWithFaults(
        R"([{"call": "AudioObjectGetPropertyData", "property": "nsrt", "status": 2003329396, "after": 2, "times": 3}])"));
    std::vector<OSStatus> statuses;
    for (int i = 0; i < 7; ++i) {
        double rate = 1;
        statuses.push_back(readDouble(*system, 100, kPropNominalSampleRate, &rate));
        if (statuses.back() != 0) {
            EXPECT_EQ(rate, 1.0) << "a failing call must not write";
        }
    }
    EXPECT_EQ(statuses, (std::vector<OSStatus>{0, 0, kUnspecifiedError, kUnspecifiedError, kUnspecifiedError, 0, 0}));
    // Other selectors of the same call are not counted or caught.
    UInt32 frames = 0;
    EXPECT_EQ(readU32(*system, 100, kPropBufferFrameSize, &frames), 0);
}

TEST(Faults, UnlimitedByDefaultAndFilteredByScope) {
    auto system = open(scenarioWithFaults(
        R"([{"call": "AudioUnitSetProperty", "property": 2003, "scope": "input", "status": -10879}])"));
    AudioUnit unit = newUnit(*system);
    UInt32 on = 1, off = 0;
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(system->AudioUnitSetProperty(unit, kUnitPropEnableIO, kUnitScopeInput, 1, &on, 4), -10879);
    }
    EXPECT_EQ(system->AudioUnitSetProperty(unit, kUnitPropEnableIO, kUnitScopeOutput, 0, &off, 4), 0);
    // The caught call had no effect: input is still disabled.
    UInt32 value = 7, size = 4;
    EXPECT_EQ(system->AudioUnitGetProperty(unit, kUnitPropEnableIO, kUnitScopeInput, 1, &value, &size), 0);
    EXPECT_EQ(value, 0u);
}

TEST(Faults, ObjectScopesUseTheirOwnCodes) {
    auto system = open(scenarioWithFaults(
        R"([{"call": "AudioObjectGetPropertyData", "property": "fsiz", "scope": "output", "status": 1}])"));
    UInt32 frames = 0;
    EXPECT_EQ(readU32(*system, 101, kPropBufferFrameSize, &frames, kScopeOutput), 1);
    EXPECT_EQ(readU32(*system, 101, kPropBufferFrameSize, &frames, kScopeInput), 0);
    EXPECT_EQ(readU32(*system, 101, kPropBufferFrameSize, &frames, kScopeGlobal), 0);
}

TEST(Faults, NullResultsYieldNoObject) {
    auto system = open(scenarioWithFaults(R"([
        {"call": "AudioComponentInstanceNew", "status": 0, "null_result": true, "times": 1},
        {"call": "AudioHardwareCreateProcessTap", "status": 0, "null_result": true, "times": 1},
        {"call": "AudioHardwareCreateAggregateDevice", "status": 560947818, "null_result": true, "times": 1},
        {"call": "AudioDeviceCreateIOProcIDWithBlock", "status": 0, "null_result": true, "times": 1},
        {"call": "AudioObjectGetPropertyData", "property": "dOut", "status": 0, "null_result": true, "times": 1}])"));
    OSStatus status = -1;
    EXPECT_EQ(newUnit(*system, &status), nullptr);
    EXPECT_EQ(status, 0);
    EXPECT_NE(newUnit(*system, &status), nullptr);

    TapDescription description;
    description.uuid = "T";
    AudioObjectID tap = 55;
    EXPECT_EQ(system->AudioHardwareCreateProcessTap(description, &tap), 0);
    EXPECT_EQ(tap, 0u);
    ASSERT_EQ(system->AudioHardwareCreateProcessTap(description, &tap), 0);
    EXPECT_EQ(tap, 1000u);

    nlohmann::json desc = {{"uid", "A"}, {"master", "spk"}, {"taps", {{{"uid", "T"}}}}};
    AudioObjectID aggregate = 55;
    EXPECT_EQ(system->AudioHardwareCreateAggregateDevice(desc, &aggregate), kBadObjectError);
    EXPECT_EQ(aggregate, 0u);
    ASSERT_EQ(system->AudioHardwareCreateAggregateDevice(desc, &aggregate), 0);

    auto block = [](const AudioTimeStamp*, const AudioBufferList*, const AudioTimeStamp*, AudioBufferList*,
                    const AudioTimeStamp*) {};
    AudioDeviceIOProcID proc = reinterpret_cast<AudioDeviceIOProcID>(std::uintptr_t{1});
    EXPECT_EQ(system->AudioDeviceCreateIOProcIDWithBlock(&proc, aggregate, nullptr, block), 0);
    EXPECT_EQ(proc, nullptr);

    EXPECT_EQ(defaultDevice(*system, kPropDefaultOutputDevice), 0u);
    EXPECT_EQ(defaultDevice(*system, kPropDefaultOutputDevice), 101u);
}

TEST(Faults, ComponentLookupCanFindNothing) {
    auto system = open(scenarioWithFaults(R"([{"call": "AudioComponentFindNext", "times": 1}])"));
    AudioComponentDescription description{kUnitTypeOutput, kUnitSubTypeHALOutput, kUnitManufacturerApple, 0, 0};
    EXPECT_EQ(system->AudioComponentFindNext(nullptr, &description), nullptr);
    EXPECT_NE(system->AudioComponentFindNext(nullptr, &description), nullptr);
}

TEST(Faults, EarliestCaughtEntryDecidesButAllCount) {
    auto system = open(scenarioWithFaults(R"([
        {"call": "AudioUnitInitialize", "status": 11, "after": 1, "times": 1},
        {"call": "AudioUnitInitialize", "status": 22, "times": 2}])"));
    AudioUnit unit = newUnit(*system);
    std::vector<OSStatus> statuses;
    for (int i = 0; i < 4; ++i) statuses.push_back(system->AudioUnitInitialize(unit));
    // Call 1: only the second entry fails it. Call 2: both do; the first entry wins.
    EXPECT_EQ(statuses, (std::vector<OSStatus>{22, 11, 0, 0}));
}

TEST(Faults, FailedStartHasNoIO) {
    auto system = open(scenarioWithFaults(R"([{"call": "AudioOutputUnitStart", "status": 2003329396, "times": 2}])"));
    InputRecorder recorder(*system, false, 100);
    EXPECT_EQ(recorder.start(), kUnspecifiedError);
    sleepSeconds(0.1);
    EXPECT_EQ(recorder.sliceCount(), 0u);
    EXPECT_EQ(recorder.start(), kUnspecifiedError);
    EXPECT_EQ(recorder.start(), 0);
    EXPECT_TRUE(eventually([&] { return recorder.sliceCount() >= 1; }));
}

TEST(Faults, RenderFaultsOnTheIOThread) {
    auto system = open(scenarioWithFaults(R"([{"call": "AudioUnitRender", "status": -10863, "after": 2, "times": 3}])"));
    InputRecorder recorder(*system, true, 100);
    ASSERT_NO_FATAL_FAILURE(recordSlices(recorder, 8));
    std::vector<OSStatus> statuses;
    for (std::size_t k = 0; k < 7; ++k) statuses.push_back(recorder.slices()[k].renderStatus);
    EXPECT_EQ(statuses, (std::vector<OSStatus>{0, 0, -10863, -10863, -10863, 0, 0}));
    EXPECT_EQ(counterMismatch(recorder), "");
}

TEST(Faults, ConverterFaultReportsThePlatformText) {
    auto system = open(scenarioWithFaults(R"([{"call": "AudioConverter", "status": -50, "after": 1, "times": 1},
                                              {"call": "AudioConverterNew", "times": 1}])"));
    EXPECT_EQ(system->makeConverter(44100, 48000), nullptr);
    auto converter = system->makeConverter(44100, 48000);
    ASSERT_NE(converter, nullptr);
    std::vector<float> input(4410, 0.5f), output(8000);
    auto convert = [&](UInt32* produced, std::string* error) {
        bool given = false;
        return converter->convert(output.data(), static_cast<UInt32>(output.size()), produced, error,
                                  [&](const float** data, UInt32* frames) {
                                      if (given) return ConverterInputStatus::noDataNow;
                                      given = true;
                                      *data = input.data();
                                      *frames = static_cast<UInt32>(input.size());
                                      return ConverterInputStatus::haveData;
                                  });
    };
    UInt32 produced = 0;
    std::string error;
    EXPECT_NE(convert(&produced, &error), ConverterOutputStatus::error);
    EXPECT_GT(produced, 0u);
    produced = 99;
    EXPECT_EQ(convert(&produced, &error), ConverterOutputStatus::error);
    EXPECT_EQ(produced, 0u);
    EXPECT_EQ(error, "The operation couldn\u2019t be completed. (OSStatus error -50.)");
    EXPECT_NE(convert(&produced, &error), ConverterOutputStatus::error);
}

}  // namespace
}  // namespace tarnwick::sim::testing
