#include "backends/sim/sim_system.h"

#include "backends/sim/layer_names.h"
#include "backends/sim/sim_clock.h"
#if defined(__APPLE__)
#include "backends/coreaudio/audio_converter.h"
#else
#include "backends/soxr/soxr_converter.h"
#endif

namespace tarnwick::sim {

SimAudioSystem::SimAudioSystem(Scenario scenario, std::shared_ptr<Trace> trace)
    : ctx_(std::move(scenario), std::move(trace), monoNs()),
      objects_(ctx_),
      properties_(ctx_, objects_),
      units_(ctx_),
      events_(ctx_) {
    ctx_.processes.setOwnActivity([this] {
        return ProcessTable::Activity{units_.runsIO(false) || objects_.runsOutputIO(), units_.runsIO(true)};
    });
    events_.start();
}

SimAudioSystem::~SimAudioSystem() {
    events_.stop();
    units_.stopAll();
    objects_.stopAll();
    ctx_.retired.joinAll();
}

OSStatus SimAudioSystem::AudioObjectGetPropertyDataSize(AudioObjectID inObjectID,
                                                        const AudioObjectPropertyAddress* inAddress,
                                                        UInt32 inQualifierDataSize, const void* inQualifierData,
                                                        UInt32* outDataSize) {
    return properties_.getSize(inObjectID, inAddress, {inQualifierDataSize, inQualifierData}, outDataSize);
}

OSStatus SimAudioSystem::AudioObjectGetPropertyData(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress,
                                                    UInt32 inQualifierDataSize, const void* inQualifierData,
                                                    UInt32* ioDataSize, void* outData) {
    return properties_.get(inObjectID, inAddress, {inQualifierDataSize, inQualifierData}, ioDataSize, outData);
}

OSStatus SimAudioSystem::AudioObjectSetPropertyData(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress,
                                                    UInt32, const void*, UInt32 inDataSize, const void* inData) {
    return properties_.set(inObjectID, inAddress, inDataSize, inData);
}

OSStatus SimAudioSystem::AudioObjectAddPropertyListenerBlock(AudioObjectID inObjectID,
                                                             const AudioObjectPropertyAddress* inAddress,
                                                             kit::SerialQueue* inDispatchQueue,
                                                             audio::PropertyListenerBlock inListener) {
    return properties_.addListener(inObjectID, inAddress, inDispatchQueue, std::move(inListener));
}

OSStatus SimAudioSystem::AudioObjectRemovePropertyListenerBlock(AudioObjectID inObjectID,
                                                                const AudioObjectPropertyAddress* inAddress,
                                                                kit::SerialQueue* inDispatchQueue,
                                                                audio::PropertyListenerBlock inListener) {
    return properties_.removeListener(inObjectID, inAddress, inDispatchQueue, inListener);
}

OSStatus SimAudioSystem::AudioHardwareCreateProcessTap(const audio::TapDescription& inDescription,
                                                       AudioObjectID* outTapID) {
    return objects_.createTap(inDescription, outTapID);
}

OSStatus SimAudioSystem::AudioHardwareDestroyProcessTap(AudioObjectID inTapID) { return objects_.destroyTap(inTapID); }

OSStatus SimAudioSystem::AudioHardwareCreateAggregateDevice(const nlohmann::json& inDescription,
                                                            AudioObjectID* outDeviceID) {
    return objects_.createAggregate(inDescription, outDeviceID);
}

OSStatus SimAudioSystem::AudioHardwareDestroyAggregateDevice(AudioObjectID inDeviceID) {
    return objects_.destroyAggregate(inDeviceID);
}

OSStatus SimAudioSystem::AudioDeviceCreateIOProcIDWithBlock(AudioDeviceIOProcID* outIOProcID, AudioObjectID inDevice,
                                                            kit::SerialQueue* inDispatchQueue,
                                                            audio::DeviceIOBlock inIOBlock) {
    return objects_.createIOProc(outIOProcID, inDevice, inDispatchQueue, std::move(inIOBlock));
}

OSStatus SimAudioSystem::AudioDeviceStart(AudioObjectID inDevice, AudioDeviceIOProcID inProcID) {
    return objects_.startDevice(inDevice, inProcID);
}

OSStatus SimAudioSystem::AudioDeviceStop(AudioObjectID inDevice, AudioDeviceIOProcID inProcID) {
    return objects_.stopDevice(inDevice, inProcID);
}

OSStatus SimAudioSystem::AudioDeviceDestroyIOProcID(AudioObjectID inDevice, AudioDeviceIOProcID inIOProcID) {
    return objects_.destroyIOProc(inDevice, inIOProcID);
}

AudioComponent SimAudioSystem::AudioComponentFindNext(AudioComponent inComponent,
                                                      const AudioComponentDescription* inDesc) {
    return units_.findNext(inComponent, inDesc);
}

OSStatus SimAudioSystem::AudioComponentInstanceNew(AudioComponent inComponent, AudioComponentInstance* outInstance) {
    return units_.instanceNew(inComponent, outInstance);
}

OSStatus SimAudioSystem::AudioComponentInstanceDispose(AudioComponentInstance inInstance) {
    return units_.dispose(inInstance);
}

OSStatus SimAudioSystem::AudioUnitSetProperty(AudioUnit inUnit, AudioUnitPropertyID inID, AudioUnitScope inScope,
                                              AudioUnitElement inElement, const void* inData, UInt32 inDataSize) {
    return units_.setProperty(inUnit, inID, inScope, inElement, inData, inDataSize);
}

OSStatus SimAudioSystem::AudioUnitGetProperty(AudioUnit inUnit, AudioUnitPropertyID inID, AudioUnitScope inScope,
                                              AudioUnitElement inElement, void* outData, UInt32* ioDataSize) {
    return units_.getProperty(inUnit, inID, inScope, inElement, outData, ioDataSize);
}

OSStatus SimAudioSystem::AudioUnitInitialize(AudioUnit inUnit) { return units_.initialize(inUnit); }

OSStatus SimAudioSystem::AudioUnitUninitialize(AudioUnit inUnit) { return units_.uninitialize(inUnit); }

OSStatus SimAudioSystem::AudioOutputUnitStart(AudioUnit ci) { return units_.start(ci); }

OSStatus SimAudioSystem::AudioOutputUnitStop(AudioUnit ci) { return units_.stop(ci); }

OSStatus SimAudioSystem::AudioUnitRender(AudioUnit inUnit, AudioUnitRenderActionFlags* ioActionFlags,
                                         const AudioTimeStamp* inTimeStamp, UInt32 inOutputBusNumber,
                                         UInt32 inNumberFrames, AudioBufferList* ioData) {
    return units_.render(inUnit, ioActionFlags, inTimeStamp, inOutputBusNumber, inNumberFrames, ioData);
}

std::optional<std::string> SimAudioSystem::stringValue(audio::StringRef ref) {
    auto found = ctx_.strings.lookup(ref);
    if (!found) {
        ctx_.trace->call("CFStringGetCString", ref ? "str?" : "null", audio::kInvalidParameterError, "");
        return std::nullopt;
    }
    ctx_.trace->call("CFStringGetCString", "str#" + std::to_string(found->second), 0, quotedText(found->first));
    return std::move(found->first);
}

void SimAudioSystem::releaseString(audio::StringRef ref) {
    auto number = ctx_.strings.release(ref);
    if (!number) {
        ctx_.trace->call("CFRelease", ref ? "str?" : "null", audio::kInvalidParameterError, "");
        return;
    }
    ctx_.trace->call("CFRelease", "str#" + std::to_string(*number), 0, "");
}

std::unique_ptr<audio::SampleRateConverter> SimAudioSystem::makeConverter(double inRate, double outRate) {
    return makeTracedConverter(inRate, outRate, ctx_.trace, ctx_.faults, nextConverter_.fetch_add(1),
                               [&]() -> std::unique_ptr<audio::SampleRateConverter> {
#if defined(__APPLE__)
                                   return coreaudio::makeAudioConverter(inRate, outRate);
#else
                                   return audio::makeSoxrConverter(inRate, outRate);
#endif
                               });
}

}  // namespace tarnwick::sim
