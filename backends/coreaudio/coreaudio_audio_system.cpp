#include "backends/coreaudio/coreaudio_audio_system.h"

#include <AudioToolbox/AudioToolbox.h>
#include <CoreAudio/CoreAudio.h>

#include "backends/coreaudio/aggregate_description.h"
#include "backends/coreaudio/audio_converter.h"
#include "backends/coreaudio/callbacks.h"
#include "backends/coreaudio/cf_ref.h"
#include "backends/coreaudio/process_tap.h"

namespace tarnwick::coreaudio {

namespace {

using audio::AudioSystem;

// Member names shadow Apple's functions of the same name: the platform's are
// always called with the global qualifier.
class CoreAudioSystem final : public AudioSystem {
public:
    OSStatus AudioObjectGetPropertyDataSize(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress,
                                            UInt32 inQualifierDataSize, const void* inQualifierData,
                                            UInt32* outDataSize) override {
        return ::AudioObjectGetPropertyDataSize(inObjectID, inAddress, inQualifierDataSize, inQualifierData,
                                                outDataSize);
    }
    OSStatus AudioObjectGetPropertyData(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress,
                                        UInt32 inQualifierDataSize, const void* inQualifierData, UInt32* ioDataSize,
                                        void* outData) override {
        // String values arrive as owned CFStringRefs, which are what the
        // boundary's StringRef carries.
        static_assert(sizeof(CFStringRef) == sizeof(audio::StringRef));
        return ::AudioObjectGetPropertyData(inObjectID, inAddress, inQualifierDataSize, inQualifierData, ioDataSize,
                                            outData);
    }
    OSStatus AudioObjectSetPropertyData(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress,
                                        UInt32 inQualifierDataSize, const void* inQualifierData, UInt32 inDataSize,
                                        const void* inData) override {
        return ::AudioObjectSetPropertyData(inObjectID, inAddress, inQualifierDataSize, inQualifierData, inDataSize,
                                            inData);
    }
    OSStatus AudioObjectAddPropertyListenerBlock(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress,
                                                 kit::SerialQueue* inDispatchQueue,
                                                 audio::PropertyListenerBlock inListener) override {
        return addPropertyListener(inObjectID, inAddress, inDispatchQueue, std::move(inListener));
    }
    OSStatus AudioObjectRemovePropertyListenerBlock(AudioObjectID inObjectID,
                                                    const AudioObjectPropertyAddress* inAddress,
                                                    kit::SerialQueue* inDispatchQueue,
                                                    audio::PropertyListenerBlock inListener) override {
        return removePropertyListener(inObjectID, inAddress, inDispatchQueue, inListener);
    }

    OSStatus AudioHardwareCreateProcessTap(const audio::TapDescription& inDescription,
                                           AudioObjectID* outTapID) override {
        return createProcessTap(inDescription, outTapID);
    }
    OSStatus AudioHardwareDestroyProcessTap(AudioObjectID inTapID) override {
        return destroyProcessTap(inTapID);
    }
    OSStatus AudioHardwareCreateAggregateDevice(const nlohmann::json& inDescription,
                                                AudioObjectID* outDeviceID) override {
        CFRef<CFDictionaryRef> description = aggregateDescription(inDescription);
        if (!description) return kAudioHardwareIllegalOperationError;
        return ::AudioHardwareCreateAggregateDevice(description.get(), outDeviceID);
    }
    OSStatus AudioHardwareDestroyAggregateDevice(AudioObjectID inDeviceID) override {
        return ::AudioHardwareDestroyAggregateDevice(inDeviceID);
    }
    OSStatus AudioDeviceCreateIOProcIDWithBlock(AudioDeviceIOProcID* outIOProcID, AudioObjectID inDevice,
                                                kit::SerialQueue* inDispatchQueue,
                                                audio::DeviceIOBlock inIOBlock) override {
        return createIOProc(outIOProcID, inDevice, inDispatchQueue, std::move(inIOBlock));
    }
    OSStatus AudioDeviceStart(AudioObjectID inDevice, AudioDeviceIOProcID inProcID) override {
        return startIOProc(inDevice, inProcID);
    }
    OSStatus AudioDeviceStop(AudioObjectID inDevice, AudioDeviceIOProcID inProcID) override {
        return stopIOProc(inDevice, inProcID);
    }
    OSStatus AudioDeviceDestroyIOProcID(AudioObjectID inDevice, AudioDeviceIOProcID inIOProcID) override {
        return destroyIOProc(inDevice, inIOProcID);
    }

    AudioComponent AudioComponentFindNext(AudioComponent inComponent,
                                          const AudioComponentDescription* inDesc) override {
        return ::AudioComponentFindNext(inComponent, inDesc);
    }
    OSStatus AudioComponentInstanceNew(AudioComponent inComponent, AudioComponentInstance* outInstance) override {
        return ::AudioComponentInstanceNew(inComponent, outInstance);
    }
    OSStatus AudioComponentInstanceDispose(AudioComponentInstance inInstance) override {
        return ::AudioComponentInstanceDispose(inInstance);
    }
    OSStatus AudioUnitSetProperty(AudioUnit inUnit, AudioUnitPropertyID inID, AudioUnitScope inScope,
                                  AudioUnitElement inElement, const void* inData, UInt32 inDataSize) override {
        return ::AudioUnitSetProperty(inUnit, inID, inScope, inElement, inData, inDataSize);
    }
    OSStatus AudioUnitGetProperty(AudioUnit inUnit, AudioUnitPropertyID inID, AudioUnitScope inScope,
                                  AudioUnitElement inElement, void* outData, UInt32* ioDataSize) override {
        return ::AudioUnitGetProperty(inUnit, inID, inScope, inElement, outData, ioDataSize);
    }
    OSStatus AudioUnitInitialize(AudioUnit inUnit) override { return ::AudioUnitInitialize(inUnit); }
    OSStatus AudioUnitUninitialize(AudioUnit inUnit) override { return ::AudioUnitUninitialize(inUnit); }
    OSStatus AudioOutputUnitStart(AudioUnit ci) override { return ::AudioOutputUnitStart(ci); }
    OSStatus AudioOutputUnitStop(AudioUnit ci) override { return ::AudioOutputUnitStop(ci); }
    OSStatus AudioUnitRender(AudioUnit inUnit, AudioUnitRenderActionFlags* ioActionFlags,
                             const AudioTimeStamp* inTimeStamp, UInt32 inOutputBusNumber, UInt32 inNumberFrames,
                             AudioBufferList* ioData) override {
        return ::AudioUnitRender(inUnit, ioActionFlags, inTimeStamp, inOutputBusNumber, inNumberFrames, ioData);
    }

    std::optional<std::string> stringValue(audio::StringRef ref) override {
        return utf8Text(static_cast<CFStringRef>(ref));
    }
    void releaseString(audio::StringRef ref) override {
        if (ref != nullptr) CFRelease(ref);
    }

    std::unique_ptr<audio::SampleRateConverter> makeConverter(double inRate, double outRate) override {
        return makeAudioConverter(inRate, outRate);
    }
};

}  // namespace

std::shared_ptr<AudioSystem> openCoreAudio() { return std::make_shared<CoreAudioSystem>(); }

}  // namespace tarnwick::coreaudio
