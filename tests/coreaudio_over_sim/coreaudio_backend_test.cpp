// The CoreAudio backend's own translation, in-process over the C layer:
// string ownership, the aggregate description's CF form, and the converter's
// pull callback answering "no data now". Everything else it does is run by
// the end-to-end suites of both programs.

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <optional>
#include <thread>
#include <vector>

#include "backends/coreaudio/aggregate_description.h"
#include "backends/coreaudio/coreaudio_audio_system.h"
#include "backends/sim/sim_audio_system.h"
#include "tests/coreaudio_over_sim/simulated_hal.h"
#include "tests/support/allocation_counter.h"

namespace tarnwick::coreaudio {
namespace {

using audio::ConverterInputStatus;
using audio::ConverterOutputStatus;
using nlohmann::json;
using tarnwick::testing::allocationsOnThisThread;

class CoreAudioBackend : public ::testing::Test {
protected:
    void open(const json& scenario) {
        coreaudio_over_sim::useSimulatedHal(
            sim::openFromText(scenario.is_null() ? "" : scenario.dump(), "backend-test", ""));
        backend = openCoreAudio();
    }
    void TearDown() override { coreaudio_over_sim::useSimulatedHal(nullptr); }

    std::shared_ptr<audio::AudioSystem> backend;
};

TEST_F(CoreAudioBackend, StringPropertiesAreCallerOwnedCFStringsReleasedExactlyOnce) {
    const std::string name = "Mikrofon \u201cS\u00fcd\u201d \u2192 \U0001F3A4";
    open({{"devices", {{{"uid", "mic-1"}, {"name", name}, {"input_channels", 1}, {"sample_rate", 48000}}}}});
    const std::size_t before = coreaudio_over_sim::liveCFObjects();

    std::vector<audio::StringRef> refs;
    for (UInt32 selector : {audio::kPropName, audio::kPropDeviceUID}) {
        const AudioObjectPropertyAddress address{selector, audio::kScopeGlobal, audio::kElementMain};
        audio::StringRef ref = nullptr;
        UInt32 size = sizeof ref;
        ASSERT_EQ(backend->AudioObjectGetPropertyData(100, &address, 0, nullptr, &size, &ref), 0);
        ASSERT_EQ(size, sizeof ref);
        ASSERT_NE(ref, nullptr);
        refs.push_back(ref);
    }
    // Each read handed the caller a string of its own, alive until released.
    EXPECT_EQ(coreaudio_over_sim::liveCFObjects(), before + 2);
    EXPECT_EQ(backend->stringValue(refs[0]), name);
    EXPECT_EQ(backend->stringValue(refs[1]), "mic-1");
    for (audio::StringRef ref : refs) backend->releaseString(ref);
    EXPECT_EQ(coreaudio_over_sim::liveCFObjects(), before);
    backend->releaseString(nullptr);  // a failed read leaves null behind: nothing to release

    // A failed read hands out nothing.
    const AudioObjectPropertyAddress address{audio::kPropName, audio::kScopeGlobal, audio::kElementMain};
    audio::StringRef ref = nullptr;
    UInt32 size = sizeof ref;
    EXPECT_NE(backend->AudioObjectGetPropertyData(999, &address, 0, nullptr, &size, &ref), 0);
    EXPECT_EQ(ref, nullptr);
    EXPECT_EQ(coreaudio_over_sim::liveCFObjects(), before);
}

TEST_F(CoreAudioBackend, AggregateDescriptionKeepsEveryMemberAndType) {
    const json description = {
        {"name", "Tarnwick Tap \u2192 \u00e9"},
        {"uid", "6F1C3C9E-0000-4000-8000-000000000001"},
        {"master", "spk"},
        {"private", 1},
        {"stacked", 0},
        {"tapautostart", 1},
        {"subdevices", json::array({{{"uid", "spk"}}, {{"uid", "usb"}}})},
        {"taps", json::array({{{"drift", 1}, {"uid", "tap-uuid"}}})},
        {"extra", {{"count", -3}, {"big", 9007199254740993ULL}, {"rate", 44100.5}, {"on", true}}},
    };
    // The flags are CFNumbers 0/1 whichever way they are given; other
    // booleans stay CFBooleans.
    auto flagValue = [](CFDictionaryRef dict, CFStringRef key) -> std::optional<SInt32> {
        CFTypeRef value = CFDictionaryGetValue(dict, key);
        SInt32 n = -1;
        if (value == nullptr || CFGetTypeID(value) != CFNumberGetTypeID() ||
            !CFNumberGetValue(static_cast<CFNumberRef>(value), kCFNumberSInt32Type, &n)) {
            return std::nullopt;
        }
        return n;
    };
    const std::size_t before = coreaudio_over_sim::liveCFObjects();
    {
        CFRef<CFDictionaryRef> dict = aggregateDescription(description);
        ASSERT_TRUE(dict);
        EXPECT_EQ(coreaudio_over_sim::jsonFromCF(dict.get()), description);
        EXPECT_EQ(flagValue(dict.get(), CFSTR(kAudioAggregateDeviceIsPrivateKey)), 1);
        EXPECT_EQ(flagValue(dict.get(), CFSTR(kAudioAggregateDeviceIsStackedKey)), 0);
        EXPECT_EQ(flagValue(dict.get(), CFSTR(kAudioAggregateDeviceTapAutoStartKey)), 1);
        auto taps = static_cast<CFArrayRef>(CFDictionaryGetValue(dict.get(), CFSTR(kAudioAggregateDeviceTapListKey)));
        ASSERT_EQ(CFArrayGetCount(taps), 1);
        EXPECT_EQ(flagValue(static_cast<CFDictionaryRef>(CFArrayGetValueAtIndex(taps, 0)),
                            CFSTR(kAudioSubTapDriftCompensationKey)),
                  1);

        json asBooleans = description;
        asBooleans["private"] = true;
        asBooleans["stacked"] = false;
        asBooleans["taps"][0]["drift"] = true;
        CFRef<CFDictionaryRef> fromBooleans = aggregateDescription(asBooleans);
        ASSERT_TRUE(fromBooleans);
        EXPECT_EQ(coreaudio_over_sim::jsonFromCF(fromBooleans.get()), description);
        auto extra = static_cast<CFDictionaryRef>(CFDictionaryGetValue(fromBooleans.get(), CFSTR("extra")));
        EXPECT_EQ(CFDictionaryGetValue(extra, CFSTR("on")), kCFBooleanTrue);
    }
    EXPECT_EQ(coreaudio_over_sim::liveCFObjects(), before) << "the description and everything in it released";
    // A flag that is neither 0/1 nor a boolean makes no description.
    EXPECT_FALSE(aggregateDescription({{"private", 2}}));
    EXPECT_FALSE(aggregateDescription({{"taps", json::array({{{"drift", "yes"}, {"uid", "t"}}})}}));

    // What a property list cannot carry makes no description, and leaks nothing.
    EXPECT_FALSE(aggregateDescription({{"name", "ok"}, {"uid", "\xff\xfe"}}));
    EXPECT_FALSE(aggregateDescription({{"taps", json::array({{{"uid", nullptr}}})}}));
    EXPECT_FALSE(aggregateDescription(json::array()));
    EXPECT_EQ(coreaudio_over_sim::liveCFObjects(), before);
}

TEST_F(CoreAudioBackend, ConverterStopsPullingWhenTheProviderHasNoDataNow) {
    open(nullptr);  // the built-in scenario
    std::unique_ptr<audio::SampleRateConverter> converter = backend->makeConverter(44100, 48000);
    ASSERT_NE(converter, nullptr);

    constexpr UInt32 slice = 441;
    std::vector<float> input(slice), output(1024);
    std::size_t produced = 0, sampleIndex = 0;
    double energy = 0;
    for (int round = 0; round < 50; ++round) {
        for (UInt32 i = 0; i < slice; ++i, ++sampleIndex) {
            input[i] = static_cast<float>(0.5 * std::sin(2 * M_PI * 1000.0 * double(sampleIndex) / 44100.0));
        }
        int requests = 0;
        auto provider = [&](const float** data, UInt32* frames) {
            if (++requests > 1) return ConverterInputStatus::noDataNow;
            *data = input.data();
            *frames = slice;
            return ConverterInputStatus::haveData;
        };
        UInt32 made = 0;
        std::string error;
        ASSERT_EQ(converter->convert(output.data(), UInt32(output.size()), &made, &error, provider),
                  ConverterOutputStatus::inputRanDry)
            << error;
        EXPECT_EQ(requests, 2) << "one slice offered, then told there is nothing more";
        ASSERT_LE(made, output.size());
        for (UInt32 i = 0; i < made; ++i) energy += double(output[i]) * output[i];
        produced += made;
    }
    // 50 slices of 10 ms become 50 × 480 frames, less what the filter still
    // holds back (well under 1000 frames).
    EXPECT_LE(produced, 50u * 480u);
    EXPECT_GE(produced, 50u * 480u - 1000u);
    EXPECT_NEAR(energy / double(produced), 0.125, 0.02) << "a 0.5 sine keeps its power";

    // No packets and no error ends the stream.
    UInt32 made = 0;
    auto ended = [](const float**, UInt32*) { return ConverterInputStatus::endOfStream; };
    EXPECT_EQ(converter->convert(output.data(), UInt32(output.size()), &made, nullptr, ended),
              ConverterOutputStatus::endOfStream);
}

// The real-time paths through the backend: an IO cycle handed over to the
// caller's queue, and a conversion pulled through the callback, allocate
// nothing once running.
TEST_F(CoreAudioBackend, IOCyclesAndConversionsAllocateNothingOnceRunning) {
    open({{"devices", {{{"uid", "spk"}, {"output_channels", 2}, {"buffer_frames", 64}}}},
          {"tap", {{"aggregate_buffer_frames", 64}}}});
    audio::TapDescription description;
    description.uuid = "T";
    AudioObjectID tap = 0, aggregate = 0;
    ASSERT_EQ(backend->AudioHardwareCreateProcessTap(description, &tap), 0);
    ASSERT_EQ(backend->AudioHardwareCreateAggregateDevice({{"uid", "A"}, {"master", "spk"}, {"taps", {{{"uid", "T"}}}}},
                                                          &aggregate),
              0);
    kit::SerialQueue queue("io");
    std::vector<std::size_t> counts(1000);
    std::atomic<std::size_t> cycles{0};
    AudioDeviceIOProcID proc = nullptr;
    ASSERT_EQ(backend->AudioDeviceCreateIOProcIDWithBlock(
                  &proc, aggregate, &queue,
                  [&](const AudioTimeStamp*, const AudioBufferList* input, const AudioTimeStamp*, AudioBufferList*,
                      const AudioTimeStamp*) {
                      ASSERT_TRUE(queue.isCurrent());
                      ASSERT_NE(input, nullptr);
                      const std::size_t n = cycles.load();
                      if (n < counts.size()) counts[n] = allocationsOnThisThread();
                      cycles.store(n + 1);
                  }),
              0);
    ASSERT_EQ(backend->AudioDeviceStart(aggregate, proc), 0);
    for (int i = 0; i < 2000 && cycles.load() < 30; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_EQ(backend->AudioDeviceStop(aggregate, proc), 0);
    const std::size_t ran = cycles.load();
    ASSERT_GE(ran, 30u);
    for (std::size_t k = 4; k < std::min(ran, counts.size()); ++k) {
        ASSERT_EQ(counts[k], counts[3]) << "allocated before cycle " << k;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(cycles.load(), ran) << "no cycle after the stop returned";
    EXPECT_EQ(backend->AudioDeviceDestroyIOProcID(aggregate, proc), 0);
    EXPECT_EQ(backend->AudioHardwareDestroyAggregateDevice(aggregate), 0);
    EXPECT_EQ(backend->AudioHardwareDestroyProcessTap(tap), 0);

    std::unique_ptr<audio::SampleRateConverter> converter = backend->makeConverter(44100, 48000);
    ASSERT_NE(converter, nullptr);
    std::vector<float> input(441, 0.25f), output(1024);
    for (int round = 0; round < 20; ++round) {
        bool given = false;
        auto provider = [&](const float** data, UInt32* frames) {
            if (given) return ConverterInputStatus::noDataNow;
            given = true;
            *data = input.data();
            *frames = UInt32(input.size());
            return ConverterInputStatus::haveData;
        };
        UInt32 made = 0;
        const std::size_t before = allocationsOnThisThread();
        converter->convert(output.data(), UInt32(output.size()), &made, nullptr, provider);
        if (round >= 3) ASSERT_EQ(allocationsOnThisThread(), before) << "conversion " << round << " allocated";
    }
}

}  // namespace
}  // namespace tarnwick::coreaudio
