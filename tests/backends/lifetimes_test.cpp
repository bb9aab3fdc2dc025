// Lifetimes inside the PulseAudio backend, against a private PulseAudio
// server: a system destroyed with the server's replies still on their way, a
// unit or IO proc given up while its start is under way, and streams whose
// device the server removes while they record. What a caller must see: no
// callback into what it disposed or stopped, the server's streams closed,
// and (under the sanitizers) no touch of freed memory.

#include <gtest/gtest.h>

#include <pulse/pulseaudio.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <sstream>
#include <thread>
#include <vector>

#include "backends/model/status_codes.h"
#include "backends/pulse/pulse_system.h"
#include "tests/backends/libpulse_seams.h"
#include "tests/pulse/server_test.h"
#include "tests/pulse/sound_server.h"
#include "tests/support/child_process.h"

namespace tarnwick::pulse {
namespace {

using namespace std::chrono_literals;
using testing::pulse::ServerKind;
using testing::pulse::SoundServer;

constexpr const char* kSink = "lifetimes_out";
constexpr const char* kSource = "lifetimes_in";

// What one caller of IO saw: how often its callback ran, whether any run
// came after the caller had disposed or stopped it, and its render results.
struct Calls {
    std::mutex mutex;
    std::condition_variable changed;
    int count = 0;
    int late = 0;  // after `over`
    OSStatus lastRender = 0;
    bool over = false;
    audio::AudioSystem* system = nullptr;
    AudioUnit unit = nullptr;

    void record(OSStatus render = 0) {
        std::lock_guard lock(mutex);
        ++count;
        if (over) ++late;
        lastRender = render;
        changed.notify_all();
    }
    void end() {
        std::lock_guard lock(mutex);
        over = true;
    }
    template <typename Predicate>
    bool waitUntil(Predicate predicate, std::chrono::milliseconds timeout = 10s) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, timeout, [&] { return predicate(*this); });
    }
    int calls() {
        std::lock_guard lock(mutex);
        return count;
    }
    int lateCalls() {
        std::lock_guard lock(mutex);
        return late;
    }
};

OSStatus inputArrived(void* data, AudioUnitRenderActionFlags* flags, const AudioTimeStamp* stamp, UInt32 bus,
                      UInt32 frames, AudioBufferList*) {
    auto* calls = static_cast<Calls*>(data);
    std::vector<float> samples(std::size_t{frames} * 2);
    AudioBufferList list{};
    list.mNumberBuffers = 1;
    list.mBuffers[0].mNumberChannels = 2;
    list.mBuffers[0].mDataByteSize = static_cast<UInt32>(samples.size() * sizeof(float));
    list.mBuffers[0].mData = samples.data();
    calls->record(calls->system->AudioUnitRender(calls->unit, flags, stamp, bus, frames, &list));
    return 0;
}

class PulseLifetimes : public ::testing::Test {
protected:
    void SetUp() override {
        std::string whyNot;
        server_ = testing::pulse::sharedServer(ServerKind::PulseAudio, whyNot);
        if (!server_) {
            if (std::getenv("CI")) FAIL() << whyNot;
            GTEST_SKIP() << whyNot;
        }
        for (const auto& [name, value] : server_->clientEnv()) ::setenv(name.c_str(), value.c_str(), 1);
        load("module-null-sink", std::string("sink_name=") + kSink + " rate=48000 channels=2");
        load("module-null-source", std::string("source_name=") + kSource + " rate=48000 channels=2");
        server_->pactl({"set-default-sink", kSink});
        server_->pactl({"set-default-source", kSource});
    }
    void TearDown() override {
        if (!server_) return;
        for (auto it = modules_.rbegin(); it != modules_.rend(); ++it) {
            server_->run("pactl", {"unload-module", std::to_string(*it)});
        }
    }
    unsigned load(const std::string& module, const std::string& arguments) {
        modules_.push_back(server_->loadModule(module, arguments));
        return modules_.back();
    }
    void unload(unsigned index) {
        server_->pactl({"unload-module", std::to_string(index)});
        std::erase(modules_, index);
    }
    // Streams recording on the server now.
    std::size_t recordingStreams() {
        std::istringstream lines(server_->pactl({"list", "short", "source-outputs"}));
        std::size_t count = 0;
        for (std::string line; std::getline(lines, line);) count += !line.empty();
        return count;
    }
    bool noStreamRecords() {
        for (int i = 0; i < 200; ++i) {
            if (recordingStreams() == 0) return true;
            std::this_thread::sleep_for(25ms);
        }
        return false;
    }

    SoundServer* server_ = nullptr;
    std::vector<unsigned> modules_;
};

AudioObjectID deviceNamed(audio::AudioSystem& system, const std::string& uid) {
    AudioObjectPropertyAddress devices{audio::kPropDevices, audio::kScopeGlobal, audio::kElementMain};
    UInt32 size = 0;
    if (system.AudioObjectGetPropertyDataSize(audio::kSystemObject, &devices, 0, nullptr, &size) != 0) return 0;
    std::vector<AudioObjectID> ids(size / sizeof(AudioObjectID));
    if (system.AudioObjectGetPropertyData(audio::kSystemObject, &devices, 0, nullptr, &size, ids.data()) != 0) return 0;
    for (AudioObjectID id : ids) {
        AudioObjectPropertyAddress address{audio::kPropDeviceUID, audio::kScopeGlobal, audio::kElementMain};
        audio::StringRef ref = nullptr;
        UInt32 refSize = sizeof ref;
        if (system.AudioObjectGetPropertyData(id, &address, 0, nullptr, &refSize, &ref) != 0) continue;
        const std::optional<std::string> text = system.stringValue(ref);
        system.releaseString(ref);
        if (text == uid) return id;
    }
    return 0;
}

// A recording unit on the default input, initialized, not started.
AudioUnit inputUnit(audio::AudioSystem& system, Calls& calls) {
    const AudioComponentDescription description{audio::kUnitTypeOutput, audio::kUnitSubTypeHALOutput,
                                                audio::kUnitManufacturerApple, 0, 0};
    AudioUnit unit = nullptr;
    EXPECT_EQ(system.AudioComponentInstanceNew(system.AudioComponentFindNext(nullptr, &description), &unit), 0);
    const UInt32 on = 1, off = 0;
    EXPECT_EQ(system.AudioUnitSetProperty(unit, audio::kUnitPropEnableIO, audio::kUnitScopeInput, 1, &on, sizeof on), 0);
    EXPECT_EQ(system.AudioUnitSetProperty(unit, audio::kUnitPropEnableIO, audio::kUnitScopeOutput, 0, &off, sizeof off),
              0);
    calls.system = &system;
    calls.unit = unit;
    const AURenderCallbackStruct callback{inputArrived, &calls};
    EXPECT_EQ(system.AudioUnitSetProperty(unit, audio::kUnitPropSetInputCallback, audio::kUnitScopeGlobal, 0,
                                          &callback, sizeof callback),
              0);
    EXPECT_EQ(system.AudioUnitInitialize(unit), 0);
    return unit;
}

// A tap on `sink` through an aggregate device, with an IO proc (no queue:
// the block runs on the backend's IO thread); not started.
struct TapIO {
    AudioObjectID tap = 0, aggregate = 0;
    AudioDeviceIOProcID proc = nullptr;
};

TapIO tapIO(audio::AudioSystem& system, const std::string& sink, Calls& calls) {
    TapIO io;
    audio::TapDescription description;
    description.name = "lifetimes";
    description.uuid = "5E1F7A2B-0C3D-4E5F-8A9B-0C1D2E3F4A5B";
    EXPECT_EQ(system.AudioHardwareCreateProcessTap(description, &io.tap), 0);
    const nlohmann::json aggregate{{"uid", "lifetimes-aggregate"},
                                   {"name", "lifetimes"},
                                   {"private", 1},
                                   {"master", sink},
                                   {"subdevices", nlohmann::json::array({{{"uid", sink}}})},
                                   {"taps", nlohmann::json::array({{{"uid", description.uuid}}})}};
    EXPECT_EQ(system.AudioHardwareCreateAggregateDevice(aggregate, &io.aggregate), 0);
    EXPECT_EQ(system.AudioDeviceCreateIOProcIDWithBlock(
                  &io.proc, io.aggregate, nullptr,
                  [&calls](const AudioTimeStamp*, const AudioBufferList*, const AudioTimeStamp*, AudioBufferList*,
                           const AudioTimeStamp*) { calls.record(); }),
              0);
    return io;
}

// Listens to a property of the system object until destroyed; a call
// already queued then does nothing.
class Listening {
public:
    Listening(audio::AudioSystem& system, AudioObjectPropertySelector selector, Calls& calls)
        : system_(system),
          address_{selector, audio::kScopeGlobal, audio::kElementMain},
          block_([&calls](UInt32, const AudioObjectPropertyAddress*) { calls.record(); }) {
        EXPECT_EQ(system_.AudioObjectAddPropertyListenerBlock(audio::kSystemObject, &address_, nullptr, block_), 0);
    }
    ~Listening() {
        EXPECT_EQ(system_.AudioObjectRemovePropertyListenerBlock(audio::kSystemObject, &address_, nullptr, block_), 0);
    }

private:
    audio::AudioSystem& system_;
    const AudioObjectPropertyAddress address_;
    const audio::PropertyListenerBlock block_;
};

// Systems opened and destroyed again while the server is busy with changes
// of its own, so that its events, the lookups they start and the streams'
// timing updates are in flight when each system goes.
TEST_F(PulseLifetimes, DestroyedWithRepliesInFlight) {
    // Ends (and is waited for) however the test leaves.
    struct Churn {
        std::atomic<bool> on{true};
        std::thread thread;
        ~Churn() {
            on = false;
            if (thread.joinable()) thread.join();
        }
    } churn;
    churn.thread = std::thread([&] {
        while (churn.on.load()) {
            const auto index = server_->run("pactl", {"load-module", "module-null-sink", "sink_name=lifetimes_churn"});
            server_->run("pactl", {"set-default-sink", "lifetimes_churn"});
            server_->run("pactl", {"set-default-sink", kSink});
            std::string module = index.out;
            while (!module.empty() && module.back() == '\n') module.pop_back();
            server_->run("pactl", {"unload-module", module});
        }
    });
    for (int round = 0; round < 12; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        // Opened and gone at once: only the server's own events are pending.
        std::make_shared<PulseAudioSystem>("lifetimes").reset();

        Calls input, tapped;
        // Outlives the system: a change it heard may still be queued.
        auto changes = std::make_shared<Calls>();
        auto system = std::make_shared<PulseAudioSystem>("lifetimes");
        const AudioObjectPropertyAddress defaultOutput{audio::kPropDefaultOutputDevice, audio::kScopeGlobal,
                                                       audio::kElementMain};
        EXPECT_EQ(system->AudioObjectAddPropertyListenerBlock(
                      audio::kSystemObject, &defaultOutput, nullptr,
                      [changes](UInt32, const AudioObjectPropertyAddress*) { changes->record(); }),
                  0);
        EXPECT_NE(deviceNamed(*system, kSource), 0u);
        AudioUnit unit = inputUnit(*system, input);
        ASSERT_EQ(system->AudioOutputUnitStart(unit), 0);
        const TapIO io = tapIO(*system, kSink, tapped);
        ASSERT_EQ(system->AudioDeviceStart(io.aggregate, io.proc), 0);
        // Every other round the system goes while the streams deliver.
        if (round % 2 == 1) {
            EXPECT_TRUE(input.waitUntil([](Calls& c) { return c.count > 0; }));
            EXPECT_TRUE(tapped.waitUntil([](Calls& c) { return c.count > 0; }));
        }
        // The server's events keep coming until the system stops its event
        // thread: whatever that thread runs until then must find everything
        // it reaches still there.
        const int heard = changes->calls();
        seams::beforeStop = [&] {
            EXPECT_TRUE(changes->waitUntil([heard](Calls& c) { return c.count > heard; }))
                << "the server's changes stopped reaching the system";
        };
        system.reset();
        seams::beforeStop = nullptr;
        input.end();
        tapped.end();
        EXPECT_EQ(input.lateCalls() + tapped.lateCalls(), 0);
    }
    EXPECT_TRUE(noStreamRecords());
}

// A unit disposed, and an IO proc destroyed, after the start has connected
// its stream and before the server has answered: the start says the unit is
// gone, its callback never runs, even while the start still waits with the
// stream running, and the server's stream is closed.
TEST_F(PulseLifetimes, GivenUpWhileStarting) {
    Calls input, tapped;
    auto system = std::make_shared<PulseAudioSystem>("lifetimes");
    // The start's waits linger until a callback came (or a while passed).
    auto lingering = [](Calls& calls) {
        return [&calls] { calls.waitUntil([](Calls& c) { return c.count > 0; }, 300ms); };
    };
    {
        AudioUnit unit = inputUnit(*system, input);
        seams::afterRecordConnect = [&] {
            EXPECT_EQ(system->AudioComponentInstanceDispose(unit), 0);
            input.end();
        };
        seams::afterWait = lingering(input);
        EXPECT_EQ(system->AudioOutputUnitStart(unit), model::kBadComponentInstance);
        seams::afterRecordConnect = nullptr;
        seams::afterWait = nullptr;
        EXPECT_EQ(input.calls(), 0) << "the disposed unit's callback ran";
    }
    {
        const TapIO io = tapIO(*system, kSink, tapped);
        seams::afterRecordConnect = [&] {
            EXPECT_EQ(system->AudioDeviceDestroyIOProcID(io.aggregate, io.proc), 0);
            tapped.end();
        };
        seams::afterWait = lingering(tapped);
        EXPECT_EQ(system->AudioDeviceStart(io.aggregate, io.proc), audio::kIllegalOperationError);
        seams::afterRecordConnect = nullptr;
        seams::afterWait = nullptr;
        EXPECT_EQ(tapped.calls(), 0) << "the destroyed IO proc's block ran";
    }
    EXPECT_TRUE(noStreamRecords());
}

// The server removes the devices that a unit and a tap record: the event
// thread learns it first. The unit's next render says the device is gone,
// listeners hear that the defaults changed, and once stopped neither calls
// again.
TEST_F(PulseLifetimes, DevicesRemovedWhileRecording) {
    const unsigned sink = load("module-null-sink", "sink_name=lifetimes_doomed_out rate=48000 channels=2");
    const unsigned source = load("module-null-source", "source_name=lifetimes_doomed_in rate=48000 channels=2");
    server_->pactl({"set-default-sink", "lifetimes_doomed_out"});
    server_->pactl({"set-default-source", "lifetimes_doomed_in"});
    Calls input, tapped, defaultInput, defaultOutput;
    auto system = std::make_shared<PulseAudioSystem>("lifetimes");
    AudioUnit unit = inputUnit(*system, input);
    ASSERT_EQ(system->AudioOutputUnitStart(unit), 0);
    const TapIO io = tapIO(*system, "lifetimes_doomed_out", tapped);
    ASSERT_EQ(system->AudioDeviceStart(io.aggregate, io.proc), 0);
    ASSERT_TRUE(input.waitUntil([](Calls& c) { return c.count > 0 && c.lastRender == 0; }));
    ASSERT_TRUE(tapped.waitUntil([](Calls& c) { return c.count > 0; }));
    auto inputListener = std::make_unique<Listening>(*system, audio::kPropDefaultInputDevice, defaultInput);
    auto outputListener = std::make_unique<Listening>(*system, audio::kPropDefaultOutputDevice, defaultOutput);

    unload(source);
    unload(sink);
    EXPECT_TRUE(defaultInput.waitUntil([](Calls& c) { return c.count > 0; }));
    EXPECT_TRUE(defaultOutput.waitUntil([](Calls& c) { return c.count > 0; }));
    EXPECT_TRUE(input.waitUntil([](Calls& c) { return c.lastRender == kBadDeviceError; }))
        << "the unit's render never said its device went";
    EXPECT_EQ(deviceNamed(*system, "lifetimes_doomed_in"), 0u);
    EXPECT_EQ(deviceNamed(*system, "lifetimes_doomed_out"), 0u);

    EXPECT_EQ(system->AudioDeviceStop(io.aggregate, io.proc), 0);
    tapped.end();
    EXPECT_EQ(system->AudioComponentInstanceDispose(unit), 0);
    input.end();
    EXPECT_EQ(system->AudioDeviceDestroyIOProcID(io.aggregate, io.proc), 0);
    EXPECT_EQ(input.lateCalls() + tapped.lateCalls(), 0);
    inputListener.reset();
    outputListener.reset();
    system.reset();
    EXPECT_TRUE(noStreamRecords());
}

// Both programs fail to start, with one line that names what failed and the
// status of a failed start, when the server refuses to report its changes or
// ends a device listing in an error (provoked by a library preloaded in
// front of libpulse).
TEST_F(PulseLifetimes, ProgramsFailOnRefusedSubscriptionOrListing) {
    struct Case {
        const char* refuse;
        std::string line;
    };
    const std::vector<Case> cases = {
        {"subscription", std::string("cannot follow the sound server's device changes: ") + pa_strerror(PA_ERR_INVALID)},
        {"listing", std::string("cannot read the sound server's devices: ") + pa_strerror(PA_ERR_NOENTITY)},
    };
    const char* sanitizerOptions = std::getenv("ASAN_OPTIONS");
    for (const auto& [path, prefix] : {std::pair{testing::micProgram(), "[tarnwick-miccapture] "},
                                       std::pair{testing::sysProgram(), "[tarnwick-syscapture] "}}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(path + " with the " + c.refuse + " refused");
            auto env = server_->clientEnv();
            env["LD_PRELOAD"] = TARNWICK_REFUSAL_PRELOAD;
            env["TARNWICK_TEST_REFUSE"] = c.refuse;
            // The address sanitizer's runtime would otherwise insist on
            // coming first.
            env["ASAN_OPTIONS"] = std::string(sanitizerOptions ? sanitizerOptions : "") + ":verify_asan_link_order=0";
            testing::ChildProcess child(path, {}, env);
            EXPECT_EQ(child.wait(60), 1);
            EXPECT_EQ(testing::pulse::messages(child, prefix), std::vector<std::string>{c.line});
            EXPECT_TRUE(child.stdoutBytes().empty()) << "no header without a capture";
        }
    }
}

}  // namespace
}  // namespace tarnwick::pulse
