#pragma once
// The audio platform boundary. Every operation mirrors one platform call:
// same name, same inputs, a status out. Backends (the simulated system, the
// CoreAudio forwarder, PulseAudio) implement it; nothing above it knows which
// one runs. All logic lives above this line.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "frame/audio/platform_types.h"
#include "frame/audio/property_listener_block.h"
#include "frame/kit/function_ref.h"
#include "frame/kit/serial_queue.h"

namespace tarnwick::audio {


// IO blocks run on the queue given at creation, once per IO cycle.
// `outOutputData` may be null when the cycle has no output buffers.
using DeviceIOBlock = std::function<void(const AudioTimeStamp* inNow, const AudioBufferList* inInputData,
                                         const AudioTimeStamp* inInputTime, AudioBufferList* outOutputData,
                                         const AudioTimeStamp* inOutputTime)>;

// A string property value ('uid ', 'lnam'): an owned reference that the reader
// releases, as the platform's string references are. Read and written as an
// 8-byte value through AudioObjectGetPropertyData.
using StringRef = const void*;

// What a process-tap description carries.
struct TapDescription {
    std::vector<AudioObjectID> excludedProcesses;  // empty: every process
    bool stereoMixdown = true;
    bool global = true;
    std::string name;
    bool isPrivate = false;
    std::string uuid;  // canonical upper-case hyphenated form

    nlohmann::json toJson() const {
        return nlohmann::json{{"name", name},          {"uuid", uuid},     {"private", isPrivate},
                              {"mixdown", stereoMixdown ? "stereo" : "none"}, {"global", global},
                              {"exclude", excludedProcesses}};
    }
};

// Sample-rate converter for one channel of 32-bit float, mirroring the
// platform converter: it keeps its state between calls and pulls its input
// through a provider during each conversion call.
enum class ConverterInputStatus { haveData, noDataNow, endOfStream };
enum class ConverterOutputStatus { haveData, inputRanDry, endOfStream, error };

class SampleRateConverter {
public:
    virtual ~SampleRateConverter() = default;
    // The provider is asked for input until it answers noDataNow or
    // endOfStream; with haveData it points `data` at `frames` samples that stay
    // valid until the next request. The converter writes at most `capacity`
    // frames to `output` and sets `produced`. On `error` it fills `errorText`.
    virtual ConverterOutputStatus convert(
        float* output, UInt32 capacity, UInt32* produced, std::string* errorText,
        kit::FunctionRef<ConverterInputStatus(const float** data, UInt32* frames)> provider) = 0;
};

class AudioSystem {
public:
    virtual ~AudioSystem() = default;

    // Hardware objects and properties.
    virtual OSStatus AudioObjectGetPropertyDataSize(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress,
                                                    UInt32 inQualifierDataSize, const void* inQualifierData,
                                                    UInt32* outDataSize) = 0;
    virtual OSStatus AudioObjectGetPropertyData(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress,
                                                UInt32 inQualifierDataSize, const void* inQualifierData,
                                                UInt32* ioDataSize, void* outData) = 0;
    virtual OSStatus AudioObjectSetPropertyData(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress,
                                                UInt32 inQualifierDataSize, const void* inQualifierData,
                                                UInt32 inDataSize, const void* inData) = 0;
    virtual OSStatus AudioObjectAddPropertyListenerBlock(AudioObjectID inObjectID,
                                                         const AudioObjectPropertyAddress* inAddress,
                                                         kit::SerialQueue* inDispatchQueue,
                                                         PropertyListenerBlock inListener) = 0;
    // Ends the registration made with the same object, address, queue and
    // block (a copy of the block registered). Once it returns nothing more is
    // queued for the block, so the queue may go; a call queued before may
    // still run on it.
    virtual OSStatus AudioObjectRemovePropertyListenerBlock(AudioObjectID inObjectID,
                                                            const AudioObjectPropertyAddress* inAddress,
                                                            kit::SerialQueue* inDispatchQueue,
                                                            PropertyListenerBlock inListener) = 0;

    // Process taps, aggregate devices and device IO.
    virtual OSStatus AudioHardwareCreateProcessTap(const TapDescription& inDescription, AudioObjectID* outTapID) = 0;
    virtual OSStatus AudioHardwareDestroyProcessTap(AudioObjectID inTapID) = 0;
    virtual OSStatus AudioHardwareCreateAggregateDevice(const nlohmann::json& inDescription,
                                                        AudioObjectID* outDeviceID) = 0;
    virtual OSStatus AudioHardwareDestroyAggregateDevice(AudioObjectID inDeviceID) = 0;
    virtual OSStatus AudioDeviceCreateIOProcIDWithBlock(AudioDeviceIOProcID* outIOProcID, AudioObjectID inDevice,
                                                        kit::SerialQueue* inDispatchQueue, DeviceIOBlock inIOBlock) = 0;
    virtual OSStatus AudioDeviceStart(AudioObjectID inDevice, AudioDeviceIOProcID inProcID) = 0;
    virtual OSStatus AudioDeviceStop(AudioObjectID inDevice, AudioDeviceIOProcID inProcID) = 0;
    virtual OSStatus AudioDeviceDestroyIOProcID(AudioObjectID inDevice, AudioDeviceIOProcID inIOProcID) = 0;

    // Audio units.
    virtual AudioComponent AudioComponentFindNext(AudioComponent inComponent,
                                                  const AudioComponentDescription* inDesc) = 0;
    virtual OSStatus AudioComponentInstanceNew(AudioComponent inComponent, AudioComponentInstance* outInstance) = 0;
    virtual OSStatus AudioComponentInstanceDispose(AudioComponentInstance inInstance) = 0;
    virtual OSStatus AudioUnitSetProperty(AudioUnit inUnit, AudioUnitPropertyID inID, AudioUnitScope inScope,
                                          AudioUnitElement inElement, const void* inData, UInt32 inDataSize) = 0;
    virtual OSStatus AudioUnitGetProperty(AudioUnit inUnit, AudioUnitPropertyID inID, AudioUnitScope inScope,
                                          AudioUnitElement inElement, void* outData, UInt32* ioDataSize) = 0;
    virtual OSStatus AudioUnitInitialize(AudioUnit inUnit) = 0;
    virtual OSStatus AudioUnitUninitialize(AudioUnit inUnit) = 0;
    virtual OSStatus AudioOutputUnitStart(AudioUnit ci) = 0;
    virtual OSStatus AudioOutputUnitStop(AudioUnit ci) = 0;
    virtual OSStatus AudioUnitRender(AudioUnit inUnit, AudioUnitRenderActionFlags* ioActionFlags,
                                     const AudioTimeStamp* inTimeStamp, UInt32 inOutputBusNumber,
                                     UInt32 inNumberFrames, AudioBufferList* ioData) = 0;

    // String references handed out by AudioObjectGetPropertyData.
    virtual std::optional<std::string> stringValue(StringRef ref) = 0;
    virtual void releaseString(StringRef ref) = 0;

    // A one-channel float converter from inRate to outRate; null when the
    // platform cannot build one.
    virtual std::unique_ptr<SampleRateConverter> makeConverter(double inRate, double outRate) = 0;
};

// The audio system of this process, opened on first use from TARNWICK_AUDIO.
// When none can be opened it logs one line and ends the process with status 1.
AudioSystem& audioSystem();

// Installs the system that audioSystem() returns (tests use this to run
// engines in-process against a backend of their choice). Passing null resets.
void setAudioSystemForTesting(std::shared_ptr<AudioSystem> system);

}  // namespace tarnwick::audio
