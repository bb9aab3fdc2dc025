// The call trace: its line format, whole lines under concurrency, and the
// JSON descriptions that tests of the system-audio program parse.

#include <gtest/gtest.h>

#include <fstream>
#include <algorithm>
#include <cctype>
#include <thread>

#include "tests/sim/sim_test_support.h"

namespace tarnwick::sim::testing {
namespace {

using namespace tarnwick::audio;

const char* kScenario = R"({"devices": [
    {"uid": "mic", "name": "Mic", "input_channels": 1, "buffer_frames": 256, "signal": {"kind": "counter"}},
    {"uid": "spk", "output_channels": 2}],
    "faults": [{"call": "AudioUnitInitialize", "status": -66, "times": 1}]})";

// "CALL[ ARGS] -> STATUS[ RESULT]": a name of letters, exactly one " -> ",
// then a signed decimal status.
bool wellFormed(const std::string& line) {
    std::size_t arrow = line.find(" -> ");
    if (arrow == std::string::npos || line.find(" -> ", arrow + 1) != std::string::npos) return false;
    std::size_t nameEnd = std::min(line.find(' '), arrow);
    if (nameEnd == 0) return false;
    for (std::size_t i = 0; i < nameEnd; ++i) {
        if (!std::isalpha(static_cast<unsigned char>(line[i]))) return false;
    }
    std::size_t i = arrow + 4;
    if (i < line.size() && line[i] == '-') ++i;
    std::size_t digits = i;
    while (i < line.size() && std::isdigit(static_cast<unsigned char>(line[i]))) ++i;
    return i > digits && (i == line.size() || line[i] == ' ');
}

TEST(Trace, OneLinePerCallInOrder) {
    std::string path = tempTracePath();
    auto system = open(kScenario, path);
    readDevices(*system);
    readString(*system, 100, kPropName);
    double rate = 0;
    readDouble(*system, 101, kPropNominalSampleRate, &rate);
    AudioComponentDescription description{kUnitTypeOutput, kUnitSubTypeHALOutput, kUnitManufacturerApple, 0, 0};
    AudioComponent component = system->AudioComponentFindNext(nullptr, &description);
    AudioUnit unit = nullptr;
    system->AudioComponentInstanceNew(component, &unit);
    UInt32 on = 1;
    system->AudioUnitSetProperty(unit, kUnitPropEnableIO, kUnitScopeInput, 1, &on, 4);
    system->AudioUnitInitialize(unit);
    system->AudioComponentInstanceDispose(unit);

    EXPECT_EQ(readLines(path), (std::vector<std::string>{
                                   "AudioObjectGetPropertyDataSize 1 'dev#' 'glob' 0 -> 0 size=8",
                                   "AudioObjectGetPropertyData 1 'dev#' 'glob' 0 size=8 -> 0 [100,101]",
                                   "AudioObjectGetPropertyData 100 'lnam' 'glob' 0 size=8 -> 0 str#1 \"Mic\"",
                                   "CFStringGetCString str#1 -> 0 \"Mic\"",
                                   "CFRelease str#1 -> 0",
                                   "AudioObjectGetPropertyData 101 'nsrt' 'glob' 0 size=8 -> 0 48000",
                                   "AudioComponentFindNext none 'auou' 'ahal' 'appl' -> 0 component#1",
                                   "AudioComponentInstanceNew component#1 -> 0 unit#1",
                                   "AudioUnitSetProperty unit#1 prop=2003 scope=input element=1 value=1 -> 0",
                                   "AudioUnitInitialize unit#1 -> -66 fault",
                                   "AudioComponentInstanceDispose unit#1 -> 0",
                               }));
}

TEST(Trace, DescriptionsAreOneLineOfJson) {
    std::string path = tempTracePath();
    auto system = open(kScenario, path);
    TapDescription tap;
    tap.name = "Tap -> with arrow";
    tap.isPrivate = true;
    tap.uuid = "9A7C4E1B-0000-4000-8000-00000000CAFE";
    AudioObjectID tapID = 0, aggregateID = 0;
    ASSERT_EQ(system->AudioHardwareCreateProcessTap(tap, &tapID), 0);
    nlohmann::json description = {{"name", "Tarnwick Tap"},
                                  {"uid", "AGG-UID"},
                                  {"master", "spk"},
                                  {"private", true},
                                  {"stacked", false},
                                  {"tapautostart", true},
                                  {"subdevices", {{{"uid", "spk"}}}},
                                  {"taps", {{{"drift", true}, {"uid", tap.uuid}}}}};
    ASSERT_EQ(system->AudioHardwareCreateAggregateDevice(description, &aggregateID), 0);
    ASSERT_EQ(system->AudioHardwareDestroyAggregateDevice(aggregateID), 0);
    ASSERT_EQ(system->AudioHardwareDestroyProcessTap(tapID), 0);

    auto lines = readLines(path);
    ASSERT_EQ(lines.size(), 4u);
    const std::string tapPrefix = "AudioHardwareCreateProcessTap ";
    const std::string tapSuffix = " -> 0 id=1000";
    ASSERT_EQ(lines[0].rfind(tapPrefix, 0), 0u);
    ASSERT_TRUE(lines[0].ends_with(tapSuffix));
    EXPECT_TRUE(wellFormed(lines[0])) << "the name's arrow must not read as the separator";
    std::string tapJson = lines[0].substr(tapPrefix.size(), lines[0].size() - tapPrefix.size() - tapSuffix.size());
    EXPECT_EQ(nlohmann::json::parse(tapJson), tap.toJson());

    const std::string aggPrefix = "AudioHardwareCreateAggregateDevice ";
    const std::string aggSuffix = " -> 0 id=1001";
    ASSERT_EQ(lines[1].rfind(aggPrefix, 0), 0u);
    ASSERT_TRUE(lines[1].ends_with(aggSuffix));
    std::string aggJson = lines[1].substr(aggPrefix.size(), lines[1].size() - aggPrefix.size() - aggSuffix.size());
    EXPECT_EQ(nlohmann::json::parse(aggJson), description);

    EXPECT_EQ(lines[2], "AudioHardwareDestroyAggregateDevice 1001 -> 0");
    EXPECT_EQ(lines[3], "AudioHardwareDestroyProcessTap 1000 -> 0");
}

TEST(Trace, ConcurrentCallsNeverShareALine) {
    std::string path = tempTracePath();
    {
        std::ofstream existing(path);
        existing << "kept line\n";
    }
    auto system = open(kScenario, path);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 200; ++i) {
                readDevices(*system);  // two calls
                readString(*system, 100, kPropDeviceUID);  // three calls
            }
        });
    }
    for (auto& thread : threads) thread.join();
    auto lines = readLines(path);
    ASSERT_EQ(lines.size(), 1u + 4 * 200 * 5);
    EXPECT_EQ(lines[0], "kept line");
    for (std::size_t i = 1; i < lines.size(); ++i) ASSERT_TRUE(wellFormed(lines[i])) << lines[i];
}

TEST(Trace, RealTimeCallsAreTracedToo) {
    std::string path = tempTracePath();
    auto system = open(kScenario, path);
    AudioComponentDescription description{kUnitTypeOutput, kUnitSubTypeHALOutput, kUnitManufacturerApple, 0, 0};
    AudioUnit unit = nullptr;
    ASSERT_EQ(system->AudioComponentInstanceNew(system->AudioComponentFindNext(nullptr, &description), &unit), 0);
    EXPECT_EQ(system->AudioUnitInitialize(unit), -66);  // the scenario's fault
    EXPECT_EQ(system->AudioOutputUnitStart(unit), -10867);
    EXPECT_EQ(system->AudioUnitInitialize(unit), 0);
    EXPECT_EQ(system->AudioOutputUnitStart(unit), 0);
    EXPECT_EQ(system->AudioComponentInstanceDispose(unit), 0);
    auto converter = system->makeConverter(32000, 48000);
    ASSERT_NE(converter, nullptr);
    std::vector<float> in(320, 0.1f), out(1000);
    UInt32 produced = 0;
    bool given = false;
    converter->convert(out.data(), 1000, &produced, nullptr, [&](const float** data, UInt32* frames) {
        if (given) return ConverterInputStatus::noDataNow;
        given = true;
        *data = in.data();
        *frames = 320;
        return ConverterInputStatus::haveData;
    });
    converter.reset();

    auto lines = readLines(path);
    std::size_t starts = 0;
    for (const auto& line : lines) {
        EXPECT_TRUE(wellFormed(line)) << line;
        if (line.rfind("AudioOutputUnitStart", 0) == 0) ++starts;
    }
    EXPECT_EQ(starts, 2u);
    EXPECT_NE(std::find(lines.begin(), lines.end(), "AudioOutputUnitStart unit#1 -> -10867"), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "AudioOutputUnitStart unit#1 -> 0 device=101"), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "AudioConverterNew in=32000 out=48000 -> 0 conv#1"), lines.end());
    auto conversion = std::find_if(lines.begin(), lines.end(),
                                   [](const std::string& line) { return line.rfind("AudioConverter conv#1 ", 0) == 0; });
    ASSERT_NE(conversion, lines.end());
    EXPECT_TRUE(conversion->starts_with("AudioConverter conv#1 capacity=1000 -> 0 ")) << *conversion;
    EXPECT_TRUE(conversion->ends_with(" produced=" + std::to_string(produced))) << *conversion;
    EXPECT_EQ(lines.back(), "AudioConverterDispose conv#1 -> 0");
}

TEST(Trace, RendersAppearOncePerRender) {
    std::string path = tempTracePath();
    auto system = open(R"({"devices": [{"uid": "mic", "input_channels": 1, "buffer_frames": 128}]})", path);
    InputRecorder recorder(*system, true);
    ASSERT_NO_FATAL_FAILURE(recordSlices(recorder, 5));
    std::size_t renders = 0;
    std::string firstRender;
    for (const auto& line : readLines(path)) {
        if (line.rfind("AudioUnitRender ", 0) == 0) {
            if (!renders) firstRender = line;
            ++renders;
        }
    }
    EXPECT_EQ(renders, recorder.sliceCount());
    EXPECT_EQ(firstRender, "AudioUnitRender unit#1 bus=1 frames=128 sample=" +
                               std::to_string(static_cast<long long>(recorder.slices()[0].sampleTime)) + " -> 0");
}

}  // namespace
}  // namespace tarnwick::sim::testing
