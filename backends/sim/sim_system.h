#pragma once
// The simulated audio system: the platform boundary answered from a scenario.

#include <atomic>
#include <memory>

#include "backends/sim/events.h"
#include "backends/sim/hardware_objects.h"
#include "backends/sim/object_properties.h"
#include "backends/sim/sim_context.h"
#include "backends/sim/unit_host.h"
#include "frame/audio/audio_system.h"

namespace tarnwick::sim {

class SimAudioSystem final : public audio::AudioSystem {
public:
    // The moment of construction is "opened": event times and every device's
    // frame count start there.
    SimAudioSystem(Scenario scenario, std::shared_ptr<Trace> trace);
    // Stops every thread the system started: events, unit IO, device IO.
    ~SimAudioSystem() override;

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
    SimContext ctx_;
    HardwareObjects objects_;
    ObjectProperties properties_;
    UnitHost units_;
    EventRunner events_;
    std::atomic<std::uint64_t> nextConverter_{1};
};

}  // namespace tarnwick::sim
