#pragma once
// Helpers for in-process tests of the simulated audio system: opening
// scenarios, reading properties, and units that record what they deliver.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "backends/sim/sim_audio_system.h"
#include "frame/audio/audio_system.h"

namespace tarnwick::sim::testing {

using audio::AudioSystem;

std::shared_ptr<AudioSystem> open(const std::string& json, const std::string& tracePath = "");
// The ScenarioError message the scenario produces ("" when it opens).
std::string scenarioError(const std::string& json, const std::string& sourceName = "test.json");

// Polls `condition` every few milliseconds; false when it stays false for `seconds`.
bool eventually(const std::function<bool()>& condition, double seconds = 10.0);
void sleepSeconds(double seconds);

AudioObjectPropertyAddress address(UInt32 selector, UInt32 scope = audio::kScopeGlobal);
OSStatus readU32(AudioSystem& system, AudioObjectID object, UInt32 selector, UInt32* value,
                 UInt32 scope = audio::kScopeGlobal);
// The system's default device for `selector` (input or output); the read
// is expected to succeed and to write the id.
UInt32 defaultDevice(AudioSystem& system, UInt32 selector);
OSStatus readDouble(AudioSystem& system, AudioObjectID object, UInt32 selector, double* value);
// The string, released again; nullopt when the read fails.
std::optional<std::string> readString(AudioSystem& system, AudioObjectID object, UInt32 selector);
std::vector<UInt32> readDevices(AudioSystem& system);

std::vector<std::string> readLines(const std::string& path);
std::string tempTracePath();

// A HAL unit with input enabled that renders every slice into memory
// reserved up front (the callback itself never allocates).
class InputRecorder {
public:
    InputRecorder(AudioSystem& system, bool planar, std::optional<AudioObjectID> device = std::nullopt);
    ~InputRecorder();

    OSStatus start();
    OSStatus stop();
    OSStatus dispose();
    // Forgets the unit without releasing it (its system is about to close).
    void abandon() { unit_ = nullptr; }
    AudioUnit unit() const { return unit_; }
    UInt32 channels() const { return channels_; }

    struct Slice {
        double sampleTime;
        UInt32 frames;
        OSStatus renderStatus;
        std::size_t offset;  // first frame of this slice in `samples`
        std::size_t threadCount;  // what `threadCounter` said during this slice
    };
    std::size_t sliceCount() const { return sliceCount_.load(std::memory_order_acquire); }
    // Valid for the first sliceCount() slices.
    const std::vector<Slice>& slices() const { return slices_; }
    // Sample of `channel` at recorded frame `frame`.
    float sample(std::size_t frame, UInt32 channel) const { return samples_[frame * channels_ + channel]; }

    // Set to stop the unit from inside its own callback after N slices.
    std::atomic<std::size_t> stopInsideAfter{0};
    std::atomic<OSStatus> insideStopStatus{1};
    // Read on the IO thread once per slice, e.g. a per-thread allocation count.
    std::size_t (*threadCounter)() = nullptr;

private:
    static OSStatus callback(void* self, AudioUnitRenderActionFlags* flags, const AudioTimeStamp* stamp, UInt32 bus,
                             UInt32 frames, AudioBufferList* data);
    OSStatus onSlice(AudioUnitRenderActionFlags* flags, const AudioTimeStamp* stamp, UInt32 bus, UInt32 frames);

    AudioSystem& system_;
    bool planar_;
    AudioUnit unit_ = nullptr;
    UInt32 channels_ = 0;
    std::vector<Slice> slices_;
    std::vector<float> samples_;
    std::size_t framesRecorded_ = 0;
    std::atomic<std::size_t> sliceCount_{0};
    std::vector<std::vector<float>> scratch_;
    std::vector<std::uint64_t> listMemory_;
};

// Starts `recorder`, waits until it holds at least `slices` slices in all and
// stops it, each step expected to succeed. Call through ASSERT_NO_FATAL_FAILURE.
void recordSlices(InputRecorder& recorder, std::size_t slices);

// Checks that channel c of every recorded frame is c + (n mod 2^20) / 2^20
// for the device frame n its slice's time stamp gives. Returns "" when all
// frames fit, else the first mismatch.
std::string counterMismatch(const InputRecorder& recorder);

float counterValue(UInt32 channel, std::uint64_t frame);

}  // namespace tarnwick::sim::testing
