#pragma once
// The layer's AudioSystem: every call checked against the fault table, then
// passed down, then traced as "CALL[ ARGS] -> STATUS[ RESULT]". A faulted
// call never reaches the backend and is traced with the result "fault".

#include <atomic>
#include <memory>
#include <optional>
#include <string>

#include "backends/call_layer/call_names.h"
#include "backends/call_layer/fault_table.h"
#include "backends/call_layer/handle_numbers.h"
#include "backends/call_layer/trace.h"
#include "frame/audio/audio_system.h"
#include "frame/kit/function_ref.h"

namespace tarnwick::call_layer {

class CallLayerSystem final : public audio::AudioSystem {
public:
    CallLayerSystem(std::shared_ptr<audio::AudioSystem> inner, std::shared_ptr<Trace> trace,
                    std::shared_ptr<FaultTable> faults)
        : inner_(std::move(inner)), trace_(std::move(trace)), faults_(std::move(faults)) {}

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
    OSStatus AudioHardwareCreateAggregateDevice(const nlohmann::json& inDescription,
                                                AudioObjectID* outDeviceID) override;
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
    using Text = kit::FunctionRef<std::string()>;

    // Texts are built only when the trace is on.
    void traceCall(const char* name, Text args, OSStatus status, Text result) const;
    void traceCall(const char* name, Text args, OSStatus status) const;
    // A call that reports only its status: fault-checked (for the property
    // at `address`, when it has one), passed down, traced.
    OSStatus passDown(Call call, Text args, kit::FunctionRef<OSStatus()> operation,
                      const AudioObjectPropertyAddress* address = nullptr) const;
    // A call that creates an object: as passDown, its new ID traced; a fault
    // that nulls the result leaves ID 0.
    OSStatus createObject(Call call, Text args, AudioObjectID* outID, kit::FunctionRef<OSStatus()> operation) const;
    // Traces a faulted call and hands back its status.
    OSStatus faulted(const char* name, Text args, const FaultHit& hit, const char* result = "fault") const;

    std::string unitName(AudioUnit unit) const { return units_.name("unit", handleKey(unit)); }
    std::string procName(AudioDeviceIOProcID proc) const { return procs_.name("proc", handleKey(proc)); }
    std::string stringName(audio::StringRef ref) const { return strings_.name("str", handleKey(ref)); }

    const std::shared_ptr<audio::AudioSystem> inner_;
    const std::shared_ptr<Trace> trace_;
    const std::shared_ptr<FaultTable> faults_;
    HandleNumbers units_, procs_, components_, strings_;
    std::atomic<std::uint64_t> nextConverter_{1};
};

}  // namespace tarnwick::call_layer
