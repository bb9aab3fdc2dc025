// Properties as the engines read them: the built-in default scenario, stream
// configurations, unreadable values, and the platform's size and object rules.

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "tests/sim/sim_test_support.h"

namespace tarnwick::sim::testing {
namespace {

using namespace tarnwick::audio;

struct Configuration {
    OSStatus sizeStatus = -1;
    UInt32 size = 0;
    OSStatus status = -1;
    std::vector<UInt32> channels;
    bool dataNull = true;
};

Configuration readConfiguration(AudioSystem& system, AudioObjectID device, UInt32 scope) {
    Configuration c;
    auto a = address(kPropStreamConfiguration, scope);
    c.sizeStatus = system.AudioObjectGetPropertyDataSize(device, &a, 0, nullptr, &c.size);
    if (c.sizeStatus != 0) return c;
    std::vector<std::uint64_t> memory(c.size / 8 + 2, 0xFFFFFFFFFFFFFFFFull);
    UInt32 size = c.size;
    c.status = system.AudioObjectGetPropertyData(device, &a, 0, nullptr, &size, memory.data());
    if (c.status != 0) return c;
    auto* list = reinterpret_cast<AudioBufferList*>(memory.data());
    for (UInt32 i = 0; i < list->mNumberBuffers && 8 + 16 * (i + 1) <= c.size; ++i) {
        c.channels.push_back(list->mBuffers[i].mNumberChannels);
        c.dataNull = c.dataNull && list->mBuffers[i].mData == nullptr;
    }
    return c;
}

TEST(BuiltInDefault, DevicesAsDocumented) {
    unsetenv("TARNWICK_SIM_SCENARIO");
    unsetenv("TARNWICK_SIM_TRACE");
    auto system = openFromEnvironment();
    EXPECT_EQ(readDevices(*system), (std::vector<UInt32>{100, 101, 102}));

    EXPECT_EQ(readString(*system, 100, kPropDeviceUID), "sim-mic");
    EXPECT_EQ(readString(*system, 100, kPropName), "Simulated Microphone");
    EXPECT_EQ(readString(*system, 101, kPropDeviceUID), "sim-usb-mic");
    EXPECT_EQ(readString(*system, 101, kPropName), "Simulated USB Microphone");
    EXPECT_EQ(readString(*system, 102, kPropDeviceUID), "sim-speakers");
    EXPECT_EQ(readString(*system, 102, kPropName), "Simulated Speakers");

    double rate = 0;
    EXPECT_EQ(readDouble(*system, 100, kPropNominalSampleRate, &rate), 0);
    EXPECT_EQ(rate, 44100.0);
    EXPECT_EQ(readDouble(*system, 101, kPropNominalSampleRate, &rate), 0);
    EXPECT_EQ(rate, 48000.0);
    EXPECT_EQ(readDouble(*system, 102, kPropNominalSampleRate, &rate), 0);
    EXPECT_EQ(rate, 48000.0);

    UInt32 frames = 0;
    EXPECT_EQ(readU32(*system, 100, kPropBufferFrameSize, &frames, kScopeInput), 0);
    EXPECT_EQ(frames, 512u);
    EXPECT_EQ(readU32(*system, 101, kPropBufferFrameSize, &frames, kScopeInput), 0);
    EXPECT_EQ(frames, 256u);
    EXPECT_EQ(readU32(*system, 102, kPropBufferFrameSize, &frames, kScopeOutput), 0);
    EXPECT_EQ(frames, 512u);

    EXPECT_EQ(readConfiguration(*system, 100, kScopeInput).channels, std::vector<UInt32>{2});
    EXPECT_EQ(readConfiguration(*system, 101, kScopeInput).channels, std::vector<UInt32>{1});
    EXPECT_EQ(readConfiguration(*system, 102, kScopeInput).channels, std::vector<UInt32>{0});
    EXPECT_EQ(readConfiguration(*system, 102, kScopeOutput).channels, std::vector<UInt32>{2});

    EXPECT_EQ(defaultDevice(*system, kPropDefaultInputDevice), 100u);
    EXPECT_EQ(defaultDevice(*system, kPropDefaultOutputDevice), 102u);
}

TEST(BuiltInDefault, TapIsStereoPlanarAt48k) {
    auto system = open("");
    TapDescription description;
    description.uuid = "T";
    AudioObjectID tap = 0;
    ASSERT_EQ(system->AudioHardwareCreateProcessTap(description, &tap), 0);
    AudioStreamBasicDescription format{};
    auto a = address(kPropTapFormat);
    UInt32 size = sizeof format;
    ASSERT_EQ(system->AudioObjectGetPropertyData(tap, &a, 0, nullptr, &size, &format), 0);
    EXPECT_EQ(size, 40u);
    EXPECT_EQ(format.mSampleRate, 48000.0);
    EXPECT_EQ(format.mChannelsPerFrame, 2u);
    EXPECT_EQ(format.mFormatFlags, 41u);
    EXPECT_EQ(format.mBitsPerChannel, 32u);
}

TEST(Properties, StreamConfigurationLayout) {
    auto system = open(R"({"devices": [
        {"uid": "multi", "input_channels": [1, 0, 2], "output_channels": 6},
        {"uid": "none"},
        {"uid": "empty", "input_channels": []},
        {"uid": "bad", "input_channels": 2, "input_configuration_size": 8}]})");
    Configuration multi = readConfiguration(*system, 100, kScopeInput);
    EXPECT_EQ(multi.size, 8u + 16u * 3u);
    EXPECT_EQ(multi.status, 0);
    EXPECT_EQ(multi.channels, (std::vector<UInt32>{1, 0, 2}));
    EXPECT_TRUE(multi.dataNull);
    EXPECT_EQ(readConfiguration(*system, 100, kScopeOutput).channels, std::vector<UInt32>{6});

    // The integer form is always one buffer, even of no channels; an empty
    // array is no buffer at all.
    Configuration none = readConfiguration(*system, 101, kScopeInput);
    EXPECT_EQ(none.size, 24u);
    EXPECT_EQ(none.channels, std::vector<UInt32>{0});
    EXPECT_EQ(readConfiguration(*system, 101, kScopeOutput).size, 8u);
    Configuration empty = readConfiguration(*system, 102, kScopeInput);
    EXPECT_EQ(empty.size, 8u);
    EXPECT_TRUE(empty.channels.empty());

    // A configuration that claims one buffer but is only the 8-byte header.
    Configuration bad = readConfiguration(*system, 103, kScopeInput);
    EXPECT_EQ(bad.size, 8u);
    EXPECT_EQ(bad.status, 0);
    std::uint64_t memory[4] = {};
    auto a = address(kPropStreamConfiguration, kScopeInput);
    UInt32 size = 8;
    ASSERT_EQ(system->AudioObjectGetPropertyData(103, &a, 0, nullptr, &size, memory), 0);
    UInt32 buffers = 0;
    std::memcpy(&buffers, memory, sizeof buffers);
    EXPECT_EQ(buffers, 1u);
    EXPECT_EQ(memory[1], 0u) << "wrote beyond the reported size";
}

TEST(Properties, UnreadableValuesFailAndLeaveTheDestination) {
    auto system = open(R"({"devices": [{"uid": null, "name": null, "sample_rate": null, "buffer_frames": null,
                                          "input_channels": 1}]})");
    double rate = -7;
    EXPECT_EQ(readDouble(*system, 100, kPropNominalSampleRate, &rate), kUnknownPropertyError);
    EXPECT_EQ(rate, -7.0);
    UInt32 frames = 77;
    EXPECT_EQ(readU32(*system, 100, kPropBufferFrameSize, &frames, kScopeInput), kUnknownPropertyError);
    EXPECT_EQ(frames, 77u);
    StringRef ref = &rate;
    UInt32 size = sizeof ref;
    auto a = address(kPropDeviceUID);
    EXPECT_EQ(system->AudioObjectGetPropertyData(100, &a, 0, nullptr, &size, &ref), kUnknownPropertyError);
    EXPECT_EQ(ref, &rate);
    a = address(kPropName);
    EXPECT_EQ(system->AudioObjectGetPropertyData(100, &a, 0, nullptr, &size, &ref), kUnknownPropertyError);
    // Without a UID the device is still listed; an absent name defaults to the UID.
    EXPECT_EQ(readDevices(*system), std::vector<UInt32>{100});
    auto named = open(R"({"devices": [{"uid": "u1"}]})");
    EXPECT_EQ(readString(*named, 100, kPropName), "u1");
}

TEST(Properties, SizeObjectAndSelectorRules) {
    auto system = open(R"({"devices": [{"uid": "a", "input_channels": 1, "sample_rate": 44100.5},
                                        {"uid": "b", "id": 7, "output_channels": 2}]})");
    EXPECT_EQ(readDevices(*system), (std::vector<UInt32>{100, 7}));
    double rate = 0;
    EXPECT_EQ(readDouble(*system, 100, kPropNominalSampleRate, &rate), 0);
    EXPECT_EQ(rate, 44100.5);

    // Too small for the value: '!siz' and nothing written.
    auto a = address(kPropDevices);
    UInt32 ids[2] = {5, 5};
    UInt32 size = 4;
    EXPECT_EQ(system->AudioObjectGetPropertyData(kSystemObject, &a, 0, nullptr, &size, ids), kBadPropertySizeError);
    EXPECT_EQ(ids[0], 5u);
    a = address(kPropNominalSampleRate);
    size = 4;
    EXPECT_EQ(system->AudioObjectGetPropertyData(100, &a, 0, nullptr, &size, ids), kBadPropertySizeError);
    // Larger is fine and reports the real size.
    double big[2] = {0, 0};
    size = sizeof big;
    EXPECT_EQ(system->AudioObjectGetPropertyData(100, &a, 0, nullptr, &size, big), 0);
    EXPECT_EQ(size, 8u);

    UInt32 value = 0;
    EXPECT_EQ(readU32(*system, 555, kPropBufferFrameSize, &value), kBadObjectError);
    EXPECT_EQ(readU32(*system, 100, fourCC("zzzz"), &value), kUnknownPropertyError);
    EXPECT_EQ(readU32(*system, kSystemObject, fourCC("zzzz"), &value), kUnknownPropertyError);

    UInt32 frames = 256;
    a = address(kPropBufferFrameSize);
    EXPECT_EQ(system->AudioObjectSetPropertyData(100, &a, 0, nullptr, 4, &frames), kIllegalOperationError);
    EXPECT_EQ(system->AudioObjectSetPropertyData(555, &a, 0, nullptr, 4, &frames), kBadObjectError);
}

TEST(Properties, DefaultsFollowTheScenario) {
    auto first = open(R"({"devices": [{"uid": "out", "output_channels": 2}, {"uid": "in", "input_channels": [0, 1]}]})");
    EXPECT_EQ(defaultDevice(*first, kPropDefaultInputDevice), 101u);
    EXPECT_EQ(defaultDevice(*first, kPropDefaultOutputDevice), 100u);

    auto none = open(R"({"devices": [{"uid": "in", "input_channels": 1}], "default_input": null})");
    EXPECT_EQ(defaultDevice(*none, kPropDefaultInputDevice), 0u);
    EXPECT_EQ(defaultDevice(*none, kPropDefaultOutputDevice), 0u);

    auto named = open(R"({"devices": [{"uid": "a", "input_channels": 1}, {"uid": "b", "input_channels": 1}],
                          "default_input": "b"})");
    EXPECT_EQ(defaultDevice(*named, kPropDefaultInputDevice), 101u);
}

TEST(Properties, StringReferencesAreOwnedByTheReader) {
    auto system = open(R"({"devices": [{"uid": "mic"}]})");
    auto a = address(kPropDeviceUID);
    StringRef one = nullptr, two = nullptr;
    UInt32 size = sizeof one;
    ASSERT_EQ(system->AudioObjectGetPropertyData(100, &a, 0, nullptr, &size, &one), 0);
    ASSERT_EQ(system->AudioObjectGetPropertyData(100, &a, 0, nullptr, &size, &two), 0);
    EXPECT_NE(one, two);
    EXPECT_EQ(system->stringValue(one), "mic");
    system->releaseString(one);
    EXPECT_EQ(system->stringValue(one), std::nullopt);
    system->releaseString(one);  // a second release is refused, not a crash
    EXPECT_EQ(system->stringValue(two), "mic");
    system->releaseString(two);
    EXPECT_EQ(system->stringValue(nullptr), std::nullopt);
}

TEST(Properties, AggregateBufferSizeIsReadableAndSettable) {
    auto system = open(R"({"devices": [{"uid": "spk", "output_channels": 2, "buffer_frames": 256}],
                           "tap": {"aggregate_buffer_frames": 1024}})");
    TapDescription description;
    description.uuid = "TAP-1";
    AudioObjectID tap = 0, aggregate = 0;
    ASSERT_EQ(system->AudioHardwareCreateProcessTap(description, &tap), 0);
    nlohmann::json desc = {{"name", "Agg"},        {"uid", "AGG-1"},
                           {"master", "spk"},      {"private", 1},
                           {"subdevices", {{{"uid", "spk"}}}},
                           {"taps", {{{"drift", 1}, {"uid", "TAP-1"}}}}};
    ASSERT_EQ(system->AudioHardwareCreateAggregateDevice(desc, &aggregate), 0);
    UInt32 frames = 0;
    EXPECT_EQ(readU32(*system, aggregate, kPropBufferFrameSize, &frames), 0);
    EXPECT_EQ(frames, 1024u);
    EXPECT_EQ(readU32(*system, aggregate, kPropBufferFrameSize, &frames, kScopeOutput), 0);
    EXPECT_EQ(frames, 1024u);
    UInt32 corrected = 256;
    auto a = address(kPropBufferFrameSize);
    EXPECT_EQ(system->AudioObjectSetPropertyData(aggregate, &a, 0, nullptr, 4, &corrected), 0);
    EXPECT_EQ(readU32(*system, aggregate, kPropBufferFrameSize, &frames), 0);
    EXPECT_EQ(frames, 256u);
    EXPECT_EQ(system->AudioObjectSetPropertyData(aggregate, &a, 0, nullptr, 2, &corrected), kBadPropertySizeError);
    EXPECT_EQ(readString(*system, aggregate, kPropDeviceUID), "AGG-1");
    double rate = 0;
    EXPECT_EQ(readDouble(*system, aggregate, kPropNominalSampleRate, &rate), 0);
    EXPECT_EQ(rate, 48000.0);
    // Private aggregates stay out of the device list: "private" is the
    // number 1, or true. 0 and false are public.
    EXPECT_EQ(readDevices(*system), std::vector<UInt32>{100});
    AudioObjectID other = 0;
    for (const nlohmann::json& flag : {nlohmann::json(true), nlohmann::json(0), nlohmann::json(false)}) {
        desc["uid"] = "AGG-" + flag.dump();
        desc["private"] = flag;
        ASSERT_EQ(system->AudioHardwareCreateAggregateDevice(desc, &other), 0);
    }
    EXPECT_EQ(readDevices(*system), (std::vector<UInt32>{100, other - 1, other}));
}

}  // namespace
}  // namespace tarnwick::sim::testing
