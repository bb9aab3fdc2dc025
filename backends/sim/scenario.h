#pragma once
// A scenario after parsing and validation: everything the simulated system
// needs to know, with every default already filled in and every UID a scenario
// refers to resolved to a device index.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "backends/sim/layer_names.h"
#include "frame/audio/platform_types.h"

namespace tarnwick::sim {

struct SignalSpec {
    enum class Kind { sine, silence, noise, counter };
    Kind kind = Kind::sine;
    double frequency = 440.0;
    double amplitude = 0.25;
    std::uint64_t seed = 0;
};

// How many starts stay silent: the first `count`, or every one.
struct SilentStarts {
    bool always = false;
    std::uint64_t count = 0;
    // `startNumber` counts successful starts from 1.
    bool silences(std::uint64_t startNumber) const { return always || startNumber <= count; }
};

struct UnitSpec {
    std::optional<double> inputFormatRate;         // override of the device-side input format
    std::optional<UInt32> inputFormatChannels;
    bool rejectsInterleaved = false;
    bool rejectsNonInterleaved = false;
    bool rejectsStreamFormat = false;
    SilentStarts silentStarts;
};

struct DeviceSpec {
    std::optional<std::string> uid;   // nullopt: unreadable
    AudioObjectID id = 0;
    std::optional<std::string> name;  // nullopt: unreadable
    std::vector<UInt32> inputBuffers{0};  // channels of each input stream buffer
    UInt32 outputChannels = 0;
    std::optional<double> sampleRate = 48000.0;    // nullopt: unreadable
    std::optional<UInt32> bufferFrames = 512;      // nullopt: unreadable
    SignalSpec signal;
    UnitSpec unit;
    std::optional<UInt32> inputConfigurationSize;  // forced byte size of 'slay' Input

    UInt32 inputChannelTotal() const {
        UInt32 total = 0;
        for (UInt32 c : inputBuffers) total += c;
        return total;
    }
    // The output: one interleaved buffer, or none.
    std::vector<UInt32> outputBuffers() const {
        return outputChannels > 0 ? std::vector<UInt32>{outputChannels} : std::vector<UInt32>{};
    }
};

struct TapSpec {
    std::optional<double> sampleRate;  // nullopt: follow the default output device
    UInt32 channels = 2;
    bool planar = true;
    std::optional<UInt32> deliveredChannels;  // nullopt: `channels`
    UInt32 aggregateBufferFrames = 512;
    bool outputList = true;
    SilentStarts silentStarts;
    std::optional<SignalSpec> signal;  // nullopt: the default output device's

    UInt32 delivered() const { return deliveredChannels.value_or(channels); }
};

struct EventSpec {
    enum class Action { setDefaultInput, setDefaultOutput, setSampleRate, stall, renderError, setProcess, setSignal };
    double at = 0;
    Action action = Action::stall;
    std::optional<std::size_t> device;  // target device index; nullopt for a default set to null
    double value = 0;                   // rate (set_sample_rate) or seconds (stall)
    OSStatus status = 0;                // render_error
    std::optional<std::uint64_t> times; // render_error; nullopt: all
    std::size_t process = 0;                   // set_process: index in `processes`
    std::optional<bool> runningOutput, runningInput;  // set_process: nullopt leaves it
    SignalSpec signal;                         // set_signal
    nlohmann::ordered_json actionJson;  // the action as written, for the trace
};

// Another program on the computer that uses audio.
struct ProcessSpec {
    std::int32_t pid = 0;
    AudioObjectID id = 0;
    std::optional<std::string> bundleID;  // nullopt: reads as an empty string
    bool runningOutput = false;
    bool runningInput = false;
};

struct Scenario {
    std::string sourceName;
    std::vector<DeviceSpec> devices;
    std::optional<std::size_t> defaultInput;   // device index; nullopt: none
    std::optional<std::size_t> defaultOutput;
    TapSpec tap;
    std::vector<FaultSpec> faults;
    std::vector<EventSpec> events;  // in order of `at` (stable)
    std::vector<ProcessSpec> processes;
    // The running program's own process object: kOwnProcessObjectID unless
    // a device or process of the scenario already has that ID.
    AudioObjectID ownProcessID = 0;
};

// Bounds the parser enforces, shared with the IO code that relies on them
// (buffer frame sizes are bounded by the platform's kMaxBufferFrames).
constexpr UInt32 kMaxChannels = 64;
constexpr UInt32 kMaxBuffers = 64;
constexpr double kMaxSampleRate = 1000000.0;
constexpr UInt32 kFallbackIoFrames = 512;
constexpr double kFallbackIoRate = 48000.0;
// What the IO threads can pace: a rate of 0 runs at the fallback rate, any
// other must be at least 1 Hz (slower rates put a cycle's deadline beyond the
// clock's range), and a cycle must last at least 20 µs (shorter ones come
// faster than a thread can run them, which then only spins to catch up).
constexpr double kMinIoRate = 1.0;
constexpr double kMinIoCycleSeconds = 20e-6;
// The running program's own process object, first in the process list,
// where the scenario leaves this ID free.
constexpr AudioObjectID kOwnProcessObjectID = 1999;

}  // namespace tarnwick::sim
