#pragma once
// The audio system over a PulseAudio-protocol sound server (PulseAudio itself,
// or PipeWire's server for its clients): the platform boundary answered from
// the server's devices, with IO driven by server streams.

#include <atomic>
#include <memory>

#include "backends/model/listeners.h"
#include "backends/model/property_value.h"
#include "backends/model/string_refs.h"
#include "backends/pulse/connection.h"
#include "backends/pulse/device_io.h"
#include "backends/pulse/server_devices.h"
#include "backends/pulse/server_processes.h"
#include "backends/pulse/units.h"
#include "frame/audio/audio_system.h"

namespace tarnwick::pulse {

class PulseAudioSystem final : public audio::AudioSystem {
public:
    // Connects and reads the server's devices; throws ConnectError.
    explicit PulseAudioSystem(const std::string& clientName);
    // Stops every stream, then disconnects.
    ~PulseAudioSystem() override;

    OSStatus AudioObjectGetPropertyDataSize(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress,
                                            UInt32 inQualifierDataSize, const void* inQualifierData,
                                            UInt32* outDataSize) override;
    OSStatus AudioObjectGetPropertyData(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress,
                                        UInt32 inQualifierDataSize, const void* inQualifierData, UInt32* ioDataSize,
                                        void* outData) override;
    OSStatus AudioObjectSetPropertyData(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress,
                                        UInt32 inQualifierDataSize, const void* inQualifierData, UInt32 inDataSize,
                                        const void* inData) override;
    OSStatus AudioObjectAddPropertyListenerBlock(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress,
                                                 kit::SerialQueue* inDispatchQueue,
                                                 audio::PropertyListenerBlock inListener) override;
    OSStatus AudioObjectRemovePropertyListenerBlock(AudioObjectID inObjectID,
                                                    const AudioObjectPropertyAddress* inAddress,
                                                    kit::SerialQueue* inDispatchQueue,
                                                    audio::PropertyListenerBlock inListener) override;

    OSStatus AudioHardwareCreateProcessTap(const audio::TapDescription& inDescription, AudioObjectID* outTapID) override;
    OSStatus AudioHardwareDestroyProcessTap(AudioObjectID inTapID) override;
    OSStatus AudioHardwareCreateAggregateDevice(const nlohmann::json& inDescription, AudioObjectID* outDeviceID) override;
    OSStatus AudioHardwareDestroyAggregateDevice(AudioObjectID inDeviceID) override;
    OSStatus AudioDeviceCreateIOProcIDWithBlock(AudioDeviceIOProcID* outIOProcID, AudioObjectID inDevice,
                                                kit::SerialQueue* inDispatchQueue,
                                                audio::DeviceIOBlock inIOBlock) override;
    OSStatus AudioDeviceStart(AudioObjectID inDevice, AudioDeviceIOProcID inProcID) override;
    OSStatus AudioDeviceStop(AudioObjectID inDevice, AudioDeviceIOProcID inProcID) override;
    OSStatus AudioDeviceDestroyIOProcID(AudioObjectID inDevice, AudioDeviceIOProcID inIOProcID) override;

    AudioComponent AudioComponentFindNext(AudioComponent inComponent, const AudioComponentDescription* inDesc) override;
    OSStatus AudioComponentInstanceNew(AudioComponent inComponent, AudioComponentInstance* outInstance) override;
    OSStatus AudioComponentInstanceDispose(AudioComponentInstance inInstance) override;
    OSStatus AudioUnitSetProperty(AudioUnit inUnit, AudioUnitPropertyID inID, AudioUnitScope inScope,
                                  AudioUnitElement inElement, const void* inData, UInt32 inDataSize) override;
    OSStatus AudioUnitGetProperty(AudioUnit inUnit, AudioUnitPropertyID inID, AudioUnitScope inScope,
                                  AudioUnitElement inElement, void* outData, UInt32* ioDataSize) override;
    OSStatus AudioUnitInitialize(AudioUnit inUnit) override;
    OSStatus AudioUnitUninitialize(AudioUnit inUnit) override;
    OSStatus AudioOutputUnitStart(AudioUnit ci) override;
    OSStatus AudioOutputUnitStop(AudioUnit ci) override;
    OSStatus AudioUnitRender(AudioUnit inUnit, AudioUnitRenderActionFlags* ioActionFlags,
                             const AudioTimeStamp* inTimeStamp, UInt32 inOutputBusNumber, UInt32 inNumberFrames,
                             AudioBufferList* ioData) override;

    std::optional<std::string> stringValue(audio::StringRef ref) override;
    void releaseString(audio::StringRef ref) override;

    std::unique_ptr<audio::SampleRateConverter> makeConverter(double inRate, double outRate) override;

private:
    using Value = model::PropertyValue;
    Value read(AudioObjectID object, const AudioObjectPropertyAddress& address, UInt32 qualifierSize,
               const void* qualifier) const;
    Value systemValue(AudioObjectPropertySelector selector, UInt32 qualifierSize, const void* qualifier) const;
    Value deviceValue(const ServerDevice& device, const AudioObjectPropertyAddress& address) const;
    Value aggregateValue(const model::Aggregate& aggregate, const AudioObjectPropertyAddress& address) const;
    bool exists(AudioObjectID object) const;

    std::atomic<AudioObjectID> nextID_{2};  // the system object is 1
    model::ListenerRegistry listeners_;
    model::StringRefs strings_;
    std::unique_ptr<Connection> connection_;
    std::unique_ptr<ServerDevices> devices_;
    std::unique_ptr<ServerProcesses> processes_;
    std::unique_ptr<Units> units_;
    std::unique_ptr<DeviceIO> io_;
};

// Opens the system for this process; throws ConnectError.
std::shared_ptr<audio::AudioSystem> openPulse();

}  // namespace tarnwick::pulse
