// Audio units: what an input unit delivers (exactly, frame by frame), output
// units' render callbacks, silent starts, and the stop guarantees.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>

#include "frame/kit/serial_queue.h"
#include "tests/sim/sim_test_support.h"

namespace tarnwick::sim::testing {
namespace {

using namespace tarnwick::audio;

const char* kCounterMic = R"({"devices": [
    {"uid": "mic", "input_channels": 2, "sample_rate": 48000, "buffer_frames": 480, "signal": {"kind": "counter"}},
    {"uid": "mono", "input_channels": 1, "sample_rate": 16000, "buffer_frames": 160, "signal": {"kind": "counter"}}]})";

void expectContiguous(const InputRecorder& recorder, std::size_t fromSlice = 0) {
    for (std::size_t k = fromSlice + 1; k < recorder.sliceCount(); ++k) {
        const auto& previous = recorder.slices()[k - 1];
        const auto& slice = recorder.slices()[k];
        ASSERT_EQ(slice.sampleTime, previous.sampleTime + previous.frames) << "gap or overlap before slice " << k;
    }
}

class CounterCapture : public ::testing::TestWithParam<bool> {};

TEST_P(CounterCapture, ConsecutiveSlicesCarryEveryFrameOnce) {
    auto system = open(kCounterMic);
    auto opened = std::chrono::steady_clock::now();  // no earlier than the system's own opening
    InputRecorder recorder(*system, GetParam());
    ASSERT_EQ(recorder.channels(), 2u);
    sleepSeconds(0.1);
    auto started = std::chrono::steady_clock::now();
    ASSERT_NO_FATAL_FAILURE(recordSlices(recorder, 30));

    for (std::size_t k = 0; k < recorder.sliceCount(); ++k) {
        EXPECT_EQ(recorder.slices()[k].frames, 480u);
        EXPECT_EQ(recorder.slices()[k].renderStatus, 0);
    }
    expectContiguous(recorder);
    EXPECT_EQ(counterMismatch(recorder), "");
    // Frames count from the moment the system was opened, not from the start.
    double first = recorder.slices()[0].sampleTime;
    double earliest = std::chrono::duration<double>(started - opened).count() * 48000 - 480;
    EXPECT_GE(first, earliest);
    EXPECT_LT(first, earliest + 48000 * 2.0);
}

INSTANTIATE_TEST_SUITE_P(InterleavedAndPlanar, CounterCapture, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Planar" : "Interleaved"; });

TEST(UnitIO, TwoUnitsCountTheirDevicesIndependently) {
    auto system = open(kCounterMic);
    InputRecorder stereo(*system, false, 100);
    InputRecorder mono(*system, true, 101);
    ASSERT_EQ(mono.channels(), 1u);
    ASSERT_EQ(stereo.start(), 0);
    sleepSeconds(0.05);
    ASSERT_EQ(mono.start(), 0);
    ASSERT_TRUE(eventually([&] { return stereo.sliceCount() >= 20 && mono.sliceCount() >= 20; }));
    stereo.stop();
    mono.stop();
    expectContiguous(stereo);
    expectContiguous(mono);
    EXPECT_EQ(counterMismatch(stereo), "");
    EXPECT_EQ(counterMismatch(mono), "");
    for (std::size_t k = 0; k < mono.sliceCount(); ++k) EXPECT_EQ(mono.slices()[k].frames, 160u);
    // Both clocks run from the same opening: 48 kHz frames are three 16 kHz frames.
    double stereoSeconds = stereo.slices()[0].sampleTime / 48000;
    double monoSeconds = mono.slices()[0].sampleTime / 16000;
    EXPECT_NEAR(monoSeconds - stereoSeconds, 0.05, 1.0);
}

TEST(UnitIO, RestartedUnitResumesAtTheDeviceClock) {
    auto system = open(kCounterMic);
    InputRecorder recorder(*system, false);
    ASSERT_NO_FATAL_FAILURE(recordSlices(recorder, 5));
    std::size_t before = recorder.sliceCount();
    double endOfFirst = recorder.slices()[before - 1].sampleTime + 480;
    sleepSeconds(0.3);
    ASSERT_NO_FATAL_FAILURE(recordSlices(recorder, before + 5));
    // The frames while it was stopped were never captured: a gap of about 0.3 s.
    double gap = recorder.slices()[before].sampleTime - endOfFirst;
    EXPECT_GT(gap, 0.2 * 48000);
    expectContiguous(recorder, before);
    EXPECT_EQ(counterMismatch(recorder), "");
}

TEST(UnitIO, SineSignalMatchesItsDefinition) {
    auto system = open("");  // sim-mic: 440 Hz at 0.25, 44100 Hz
    InputRecorder recorder(*system, false);
    ASSERT_NO_FATAL_FAILURE(recordSlices(recorder, 3));
    const auto& slice = recorder.slices()[1];
    for (UInt32 i = 0; i < slice.frames; i += 37) {
        double n = slice.sampleTime + i;
        double expected = 0.25 * std::sin(2 * M_PI * std::fmod(n * 440.0 / 44100.0, 1.0));
        EXPECT_NEAR(recorder.sample(slice.offset + i, 0), expected, 1e-5);
        EXPECT_EQ(recorder.sample(slice.offset + i, 0), recorder.sample(slice.offset + i, 1));
    }
}

TEST(UnitIO, SilentStartsAreCountedPerDevice) {
    auto system = open(R"({"devices": [
        {"uid": "shy", "input_channels": 1, "buffer_frames": 256, "unit": {"silent_starts": 2}},
        {"uid": "other", "input_channels": 1, "buffer_frames": 256}]})");
    InputRecorder other(*system, false, 101);
    ASSERT_EQ(other.start(), 0);  // does not use up the silent starts of "shy"
    ASSERT_TRUE(eventually([&] { return other.sliceCount() >= 1; }));
    other.stop();

    InputRecorder shy(*system, false, 100);
    for (int attempt = 0; attempt < 2; ++attempt) {
        ASSERT_EQ(shy.start(), 0);
        sleepSeconds(0.3);
        EXPECT_EQ(shy.sliceCount(), 0u) << "start " << attempt + 1 << " should stay silent";
        ASSERT_EQ(shy.stop(), 0);
    }
    ASSERT_EQ(shy.start(), 0);
    EXPECT_TRUE(eventually([&] { return shy.sliceCount() >= 1; }));
}

TEST(UnitIO, AlwaysSilentNeverCallsBack) {
    auto system = open(R"({"devices": [{"uid": "dead", "input_channels": 1, "unit": {"silent_starts": "always"}}]})");
    InputRecorder recorder(*system, false);
    for (int attempt = 0; attempt < 3; ++attempt) {
        ASSERT_EQ(recorder.start(), 0);
        sleepSeconds(0.15);
        ASSERT_EQ(recorder.stop(), 0);
    }
    EXPECT_EQ(recorder.sliceCount(), 0u);
}

TEST(UnitIO, NoCallbackAfterStopOrDispose) {
    auto system = open(kCounterMic);
    InputRecorder recorder(*system, false);
    ASSERT_NO_FATAL_FAILURE(recordSlices(recorder, 3));
    std::size_t after = recorder.sliceCount();
    sleepSeconds(0.1);
    EXPECT_EQ(recorder.sliceCount(), after);

    ASSERT_EQ(recorder.start(), 0);
    ASSERT_TRUE(eventually([&] { return recorder.sliceCount() >= after + 3; }));
    ASSERT_EQ(recorder.dispose(), 0);  // disposing a running unit stops it first
    after = recorder.sliceCount();
    sleepSeconds(0.1);
    EXPECT_EQ(recorder.sliceCount(), after);
}

TEST(UnitIO, StopFromInsideTheCallbackDoesNotDeadlock) {
    auto system = open(kCounterMic);
    InputRecorder recorder(*system, false);
    recorder.stopInsideAfter = 3;
    ASSERT_EQ(recorder.start(), 0);
    ASSERT_TRUE(eventually([&] { return recorder.insideStopStatus.load() == 0; }));
    sleepSeconds(0.1);
    EXPECT_EQ(recorder.sliceCount(), 3u);
    EXPECT_EQ(recorder.stop(), 0);
}

TEST(UnitIO, ClosingTheSystemStopsRunningUnits) {
    auto system = open(kCounterMic);
    InputRecorder recorder(*system, false);
    ASSERT_EQ(recorder.start(), 0);
    ASSERT_TRUE(eventually([&] { return recorder.sliceCount() >= 2; }));
    recorder.abandon();  // the unit goes with the system
    system.reset();
    std::size_t after = recorder.sliceCount();
    sleepSeconds(0.1);
    EXPECT_EQ(recorder.sliceCount(), after);
}

TEST(UnitIO, ClientFormatRulesAndOverrides) {
    auto system = open(R"({"devices": [{"uid": "m", "input_channels": 2, "sample_rate": 44100,
        "unit": {"rejects_interleaved": true, "input_format": {"sample_rate": 0, "channels": 3}}}]})");
    AudioComponentDescription description{kUnitTypeOutput, kUnitSubTypeHALOutput, kUnitManufacturerApple, 0, 0};
    AudioUnit unit = nullptr;
    ASSERT_EQ(system->AudioComponentInstanceNew(system->AudioComponentFindNext(nullptr, &description), &unit), 0);
    UInt32 on = 1;
    ASSERT_EQ(system->AudioUnitSetProperty(unit, kUnitPropEnableIO, kUnitScopeInput, 1, &on, 4), 0);
    AudioStreamBasicDescription format{};
    UInt32 size = sizeof format;
    ASSERT_EQ(system->AudioUnitGetProperty(unit, kUnitPropStreamFormat, kUnitScopeInput, 1, &format, &size), 0);
    EXPECT_EQ(format.mSampleRate, 0.0);
    EXPECT_EQ(format.mChannelsPerFrame, 3u);
    format.mSampleRate = 44100;
    format.mFormatFlags = 9;
    EXPECT_EQ(system->AudioUnitSetProperty(unit, kUnitPropStreamFormat, kUnitScopeOutput, 1, &format, 40),
              kFormatNotSupported);
    format.mFormatFlags = 41;
    EXPECT_EQ(system->AudioUnitSetProperty(unit, kUnitPropStreamFormat, kUnitScopeOutput, 1, &format, 40), 0);
    // Starting needs an initialized unit.
    EXPECT_EQ(system->AudioOutputUnitStart(unit), -10867);
    EXPECT_EQ(system->AudioComponentInstanceDispose(unit), 0);
    EXPECT_NE(system->AudioComponentInstanceDispose(unit), 0);
    EXPECT_NE(system->AudioUnitInitialize(unit), 0);
}

TEST(UnitIO, RenderRefusesBuffersThatDoNotFit) {
    auto system = open(kCounterMic);
    InputRecorder recorder(*system, false);
    // Outside a callback of a running unit there is nothing to render.
    AudioTimeStamp stamp{};
    float sample[4];
    AudioBufferList list{1, {{2, sizeof sample, sample}}};
    EXPECT_NE(system->AudioUnitRender(recorder.unit(), nullptr, &stamp, 1, 2, &list), 0);
    ASSERT_EQ(recorder.start(), 0);
    ASSERT_TRUE(eventually([&] { return recorder.sliceCount() >= 1; }));
    // While running, another thread may render any slice; too small a buffer is refused.
    stamp.mSampleTime = 1000;
    EXPECT_EQ(system->AudioUnitRender(recorder.unit(), nullptr, &stamp, 1, 2, &list), 0);
    EXPECT_EQ(sample[0], counterValue(0, 1000));
    EXPECT_EQ(sample[3], counterValue(1, 1001));
    EXPECT_EQ(system->AudioUnitRender(recorder.unit(), nullptr, &stamp, 1, 3, &list), kInvalidParameterError);
    recorder.stop();
}

// An output unit as the keep-alive uses it: render callback, planar stereo.
struct RenderCounter {
    std::atomic<int> calls{0};
    std::atomic<UInt32> buffers{0};
    std::atomic<UInt32> bytes{0};
    std::atomic<UInt32> bus{99};
    static OSStatus render(void* self, AudioUnitRenderActionFlags*, const AudioTimeStamp*, UInt32 bus, UInt32,
                           AudioBufferList* data) {
        auto* me = static_cast<RenderCounter*>(self);
        me->buffers = data ? data->mNumberBuffers : 0;
        me->bytes = data && data->mNumberBuffers ? data->mBuffers[0].mDataByteSize : 0;
        me->bus = bus;
        me->calls.fetch_add(1);
        return 0;
    }
};

AudioUnit outputUnit(AudioSystem& system, RenderCounter& counter, AudioObjectID device, OSStatus* formatStatus) {
    AudioComponentDescription description{kUnitTypeOutput, kUnitSubTypeHALOutput, kUnitManufacturerApple, 0, 0};
    AudioUnit unit = nullptr;
    EXPECT_EQ(system.AudioComponentInstanceNew(system.AudioComponentFindNext(nullptr, &description), &unit), 0);
    UInt32 on = 1, off = 0;
    EXPECT_EQ(system.AudioUnitSetProperty(unit, kUnitPropEnableIO, kUnitScopeOutput, 0, &on, 4), 0);
    EXPECT_EQ(system.AudioUnitSetProperty(unit, kUnitPropEnableIO, kUnitScopeInput, 1, &off, 4), 0);
    EXPECT_EQ(system.AudioUnitSetProperty(unit, kUnitPropCurrentDevice, kUnitScopeGlobal, 0, &device, 4), 0);
    AudioStreamBasicDescription format{48000, kFormatLinearPCM, 41, 4, 1, 4, 2, 32, 0};
    *formatStatus = system.AudioUnitSetProperty(unit, kUnitPropStreamFormat, kUnitScopeInput, 0, &format, 40);
    AURenderCallbackStruct callback{&RenderCounter::render, &counter};
    EXPECT_EQ(system.AudioUnitSetProperty(unit, kUnitPropSetRenderCallback, kUnitScopeInput, 0, &callback, 16), 0);
    EXPECT_EQ(system.AudioUnitInitialize(unit), 0);
    return unit;
}

TEST(UnitIO, OutputUnitsCallTheirRenderCallback) {
    auto system = open(R"({"devices": [{"uid": "spk", "output_channels": 6, "buffer_frames": 256},
                                        {"uid": "picky", "output_channels": 2, "unit": {"rejects_stream_format": true}}]})");
    RenderCounter stereo;
    OSStatus formatStatus = -1;
    AudioUnit unit = outputUnit(*system, stereo, 100, &formatStatus);
    EXPECT_EQ(formatStatus, 0);
    ASSERT_EQ(system->AudioOutputUnitStart(unit), 0);
    ASSERT_TRUE(eventually([&] { return stereo.calls.load() >= 3; }));
    EXPECT_EQ(system->AudioOutputUnitStop(unit), 0);
    EXPECT_EQ(stereo.buffers.load(), 2u);
    EXPECT_EQ(stereo.bytes.load(), 256u * 4);
    EXPECT_EQ(stereo.bus.load(), 0u);
    int calls = stereo.calls.load();
    sleepSeconds(0.05);
    EXPECT_EQ(stereo.calls.load(), calls);

    RenderCounter fallback;
    AudioUnit picky = outputUnit(*system, fallback, 101, &formatStatus);
    EXPECT_EQ(formatStatus, kFormatNotSupported);
    ASSERT_EQ(system->AudioOutputUnitStart(picky), 0);
    EXPECT_TRUE(eventually([&] { return fallback.calls.load() >= 1; }));
    system->AudioOutputUnitStop(picky);
}

}  // namespace
}  // namespace tarnwick::sim::testing
