// Timed events: defaults and rates that change under a running program,
// stalls and render errors, and the listeners that hear about them.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "frame/kit/serial_queue.h"
#include "tests/sim/sim_test_support.h"

namespace tarnwick::sim::testing {
namespace {

using namespace tarnwick::audio;

const std::string kDevices = R"("devices": [
    {"uid": "mic", "input_channels": 1, "sample_rate": 48000, "buffer_frames": 240, "signal": {"kind": "counter"}},
    {"uid": "usb", "input_channels": 1},
    {"uid": "spk", "output_channels": 2, "sample_rate": 44100}])";

struct Heard {
    std::mutex mutex;
    int calls = 0;
    bool onQueue = true;
    UInt32 addresses = 0;
    AudioObjectPropertySelector selector = 0;
    UInt32 valueSeen = 0;
};

PropertyListenerBlock listener(Heard& heard, kit::SerialQueue& queue, AudioSystem& system, AudioObjectID object,
                               UInt32 selector) {
    return [&heard, &queue, &system, object, selector](UInt32 count, const AudioObjectPropertyAddress* addresses) {
        UInt32 value = 0;
        readU32(system, object, selector, &value);
        std::lock_guard lock(heard.mutex);
        heard.calls++;
        heard.onQueue = heard.onQueue && queue.isCurrent();
        heard.addresses = count;
        heard.selector = addresses[0].mSelector;
        heard.valueSeen = value;
    };
}

// Registers listener(heard, ...) for `selector` of `object` on `queue`.
OSStatus listen(AudioSystem& system, AudioObjectID object, UInt32 selector, kit::SerialQueue& queue, Heard& heard) {
    const auto where = address(selector);
    return system.AudioObjectAddPropertyListenerBlock(object, &where, &queue,
                                                      listener(heard, queue, system, object, selector));
}

int callsOf(Heard& heard) {
    std::lock_guard lock(heard.mutex);
    return heard.calls;
}

TEST(Events, DefaultInputChangeReachesItsListenerOnItsQueue) {
    Heard heard, unrelated;
    kit::SerialQueue queue("test.listen");
    auto system = open("{" + kDevices + R"(, "events": [{"at": 0.3, "set_default_input": "usb"}]})");
    ASSERT_EQ(listen(*system, kSystemObject, kPropDefaultInputDevice, queue, heard), 0);
    ASSERT_EQ(listen(*system, kSystemObject, kPropDefaultOutputDevice, queue, unrelated), 0);
    EXPECT_EQ(defaultDevice(*system, kPropDefaultInputDevice), 100u);
    ASSERT_TRUE(eventually([&] { return callsOf(heard) == 1; }));
    {
        std::lock_guard lock(heard.mutex);
        EXPECT_TRUE(heard.onQueue);
        EXPECT_EQ(heard.addresses, 1u);
        EXPECT_EQ(heard.selector, kPropDefaultInputDevice);
        EXPECT_EQ(heard.valueSeen, 101u);
    }
    sleepSeconds(0.1);
    EXPECT_EQ(callsOf(heard), 1);
    EXPECT_EQ(callsOf(unrelated), 0);
}

// A removed listener is not called, even for a change reported while its
// queue was busy; only its own block (a copy of it) removes it.
TEST(Events, RemovedListenerIsNotCalled) {
    Heard removed, kept, elsewhere;
    kit::SerialQueue queue("test.listen");
    kit::SerialQueue other("test.other");
    const std::string trace = tempTracePath();
    auto system = open("{" + kDevices + R"(, "events": [{"at": 0.3, "set_default_input": "usb"}]})", trace);
    auto dIn = address(kPropDefaultInputDevice);
    const PropertyListenerBlock block = listener(removed, queue, *system, kSystemObject, kPropDefaultInputDevice);
    ASSERT_EQ(system->AudioObjectAddPropertyListenerBlock(kSystemObject, &dIn, &queue, block), 0);
    ASSERT_EQ(listen(*system, kSystemObject, kPropDefaultInputDevice, queue, kept), 0);
    ASSERT_EQ(listen(*system, kSystemObject, kPropDefaultInputDevice, other, elsewhere), 0);
    // The same code made into a new block, or the block on another queue or
    // property, names no registration.
    const PropertyListenerBlock lookalike = listener(removed, queue, *system, kSystemObject, kPropDefaultInputDevice);
    auto dOut = address(kPropDefaultOutputDevice);
    EXPECT_EQ(system->AudioObjectRemovePropertyListenerBlock(kSystemObject, &dIn, &queue, lookalike),
              kIllegalOperationError);
    EXPECT_EQ(system->AudioObjectRemovePropertyListenerBlock(kSystemObject, &dIn, &other, block),
              kIllegalOperationError);
    EXPECT_EQ(system->AudioObjectRemovePropertyListenerBlock(kSystemObject, &dOut, &queue, block),
              kIllegalOperationError);
    EXPECT_EQ(system->AudioObjectRemovePropertyListenerBlock(4242, &dIn, &queue, block), kBadObjectError);

    // Hold the queue until the change has been handed to every listener (the
    // one on the other queue has run), then remove.
    std::atomic<bool> release{false};
    queue.async([&release] {
        while (!release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    ASSERT_TRUE(eventually([&] { return callsOf(elsewhere) == 1; }));
    const PropertyListenerBlock copy = block;
    EXPECT_EQ(system->AudioObjectRemovePropertyListenerBlock(kSystemObject, &dIn, &queue, copy), 0);
    EXPECT_EQ(system->AudioObjectRemovePropertyListenerBlock(kSystemObject, &dIn, &queue, copy),
              kIllegalOperationError);
    release.store(true);
    // Items run in order: once the kept listener has run, the removed one's
    // turn has passed.
    ASSERT_TRUE(eventually([&] { return callsOf(kept) == 1; }));
    EXPECT_EQ(callsOf(removed), 0);

    const std::vector<std::string> lines = readLines(trace);
    EXPECT_EQ(std::count(lines.begin(), lines.end(),
                         "AudioObjectRemovePropertyListenerBlock 1 'dIn ' 'glob' 0 queue=\"test.listen\" -> 0"),
              1);
}

TEST(Events, DefaultOutputCanDisappear) {
    Heard heard;
    kit::SerialQueue queue("test.listen");
    auto system = open("{" + kDevices + R"(, "events": [{"at": 0.2, "set_default_output": null}]})");
    ASSERT_EQ(listen(*system, kSystemObject, kPropDefaultOutputDevice, queue, heard), 0);
    ASSERT_TRUE(eventually([&] { return callsOf(heard) == 1; }));
    EXPECT_EQ(defaultDevice(*system, kPropDefaultOutputDevice), 0u);
}

TEST(Events, SampleRateEventsNotifyEvenWithoutChange) {
    Heard same, changed, other;
    kit::SerialQueue queue("test.listen");
    auto system = open("{" + kDevices + R"(, "events": [
        {"at": 0.2, "set_sample_rate": {"device": "spk", "rate": 44100}},
        {"at": 0.4, "set_sample_rate": {"device": "mic", "rate": 96000}}]})");
    auto nsrt = address(kPropNominalSampleRate);
    ASSERT_EQ(listen(*system, 102, kPropNominalSampleRate, queue, same), 0);
    ASSERT_EQ(listen(*system, 100, kPropNominalSampleRate, queue, changed), 0);
    ASSERT_EQ(listen(*system, 101, kPropNominalSampleRate, queue, other), 0);
    ASSERT_TRUE(eventually([&] { return callsOf(same) == 1 && callsOf(changed) == 1; }));
    double rate = 0;
    EXPECT_EQ(readDouble(*system, 102, kPropNominalSampleRate, &rate), 0);
    EXPECT_EQ(rate, 44100.0);
    EXPECT_EQ(readDouble(*system, 100, kPropNominalSampleRate, &rate), 0);
    EXPECT_EQ(rate, 96000.0);
    EXPECT_EQ(callsOf(other), 0);
    // Listening on an object that does not exist is refused.
    EXPECT_EQ(system->AudioObjectAddPropertyListenerBlock(4242, &nsrt, &queue, [](UInt32, const AudioObjectPropertyAddress*) {}),
              kBadObjectError);
}

TEST(Events, StallLeavesAGapOfItsLength) {
    auto system = open("{" + kDevices + R"(, "events": [{"at": 0.4, "stall": {"device": "mic", "seconds": 0.6}}]})");
    InputRecorder recorder(*system, false, 100);
    ASSERT_EQ(recorder.start(), 0);
    // 1.5 s of audio at 48 kHz in slices of 240 frames, well past the stall.
    ASSERT_TRUE(eventually([&] {
        std::size_t n = recorder.sliceCount();
        return n > 0 && recorder.slices()[n - 1].sampleTime > 1.5 * 48000;
    }, 30));
    recorder.stop();
    std::vector<double> gaps;
    for (std::size_t k = 1; k < recorder.sliceCount(); ++k) {
        const auto& previous = recorder.slices()[k - 1];
        double gap = recorder.slices()[k].sampleTime - (previous.sampleTime + previous.frames);
        if (gap != 0) gaps.push_back(gap);
    }
    ASSERT_EQ(gaps.size(), 1u) << "exactly one gap expected";
    EXPECT_GT(gaps[0], 0.6 * 48000 * 0.5);
    EXPECT_LT(gaps[0], (0.6 + 0.5) * 48000);
    EXPECT_EQ(counterMismatch(recorder), "");
}

TEST(Events, RenderErrorsFailTheNextRenders) {
    auto system = open("{" + kDevices + R"(, "events": [{"at": 0.3, "render_error": {"device": "mic", "status": -9, "times": 3}}]})");
    InputRecorder recorder(*system, false, 100);
    ASSERT_EQ(recorder.start(), 0);
    ASSERT_TRUE(eventually([&] {
        std::size_t failed = 0, afterwards = 0;
        for (std::size_t k = 0; k < recorder.sliceCount(); ++k) {
            if (recorder.slices()[k].renderStatus != 0) {
                failed++;
            } else if (failed) {
                afterwards++;
            }
        }
        return afterwards >= 5;
    }));
    recorder.stop();
    std::vector<std::size_t> failing;
    for (std::size_t k = 0; k < recorder.sliceCount(); ++k) {
        if (recorder.slices()[k].renderStatus != 0) {
            EXPECT_EQ(recorder.slices()[k].renderStatus, -9);
            failing.push_back(k);
        }
    }
    ASSERT_EQ(failing.size(), 3u);
    EXPECT_EQ(failing[2], failing[0] + 2) << "three consecutive renders fail";
}

TEST(Events, RenderErrorsWithoutCountLast) {
    auto system = open("{" + kDevices + R"(, "events": [{"at": 0.2, "render_error": {"device": "mic", "status": 560947818}}]})");
    InputRecorder recorder(*system, false, 100);
    ASSERT_EQ(recorder.start(), 0);
    ASSERT_TRUE(eventually([&] {
        std::size_t n = recorder.sliceCount();
        return n >= 10 && recorder.slices()[n - 10].renderStatus != 0;
    }));
    recorder.stop();
    std::size_t firstFailure = 0;
    while (recorder.slices()[firstFailure].renderStatus == 0) ++firstFailure;
    for (std::size_t k = firstFailure; k < recorder.sliceCount(); ++k) {
        EXPECT_EQ(recorder.slices()[k].renderStatus, kBadObjectError);
    }
}

TEST(Events, EventsAreTracedAndClosingCancelsTheRest) {
    std::string trace = tempTracePath();
    auto system = open("{" + kDevices + R"(, "events": [
        {"at": 0.1, "stall": {"device": "mic", "seconds": 0.25}},
        {"at": 30, "set_default_input": "usb"}]})",
                       trace);
    ASSERT_TRUE(eventually([&] { return !readLines(trace).empty(); }));
    system.reset();  // does not wait for the event at 30 s
    EXPECT_EQ(readLines(trace), std::vector<std::string>{R"(EVENT {"stall":{"device":"mic","seconds":0.25}})"});
}

}  // namespace
}  // namespace tarnwick::sim::testing
