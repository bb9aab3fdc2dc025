#pragma once
// A small in-process audio system with one input device and a HAL unit whose
// IO the test drives by hand: the input callback runs when the test calls it.

#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "frame/audio/audio_system.h"

namespace tarnwick::testing::mic {

class FakeAudioSystem : public audio::AudioSystem {
public:
    // Device 100, "fake-mic".
    double rate = 48000;
    UInt32 channels = 2;
    bool rejectInterleaved = false;
    OSStatus initializeStatus = 0;
    OSStatus stopStatus = 0;
    // Sample of channel c at device frame n.
    std::function<float(std::uint64_t n, UInt32 c)> signal = [](std::uint64_t, UInt32 c) { return float(c); };

    // What happened, in order: the unit operations by their platform names.
    std::vector<std::string> calls();
    int renders();
    // The buffer sizes AudioUnitRender was handed were the slice's.
    bool renderSizesRight();

    // Runs the registered input callback for one slice, as the IO thread would.
    OSStatus deliver(UInt32 frames);

    OSStatus AudioObjectGetPropertyDataSize(AudioObjectID, const AudioObjectPropertyAddress*, UInt32, const void*,
                                            UInt32*) override;
    OSStatus AudioObjectGetPropertyData(AudioObjectID, const AudioObjectPropertyAddress*, UInt32, const void*,
                                        UInt32*, void*) override;
    OSStatus AudioObjectSetPropertyData(AudioObjectID, const AudioObjectPropertyAddress*, UInt32, const void*, UInt32,
                                        const void*) override {
        return audio::kUnknownPropertyError;
    }
    OSStatus AudioObjectAddPropertyListenerBlock(AudioObjectID, const AudioObjectPropertyAddress*, kit::SerialQueue*,
                                                 audio::PropertyListenerBlock) override;
    OSStatus AudioObjectRemovePropertyListenerBlock(AudioObjectID, const AudioObjectPropertyAddress*,
                                                    kit::SerialQueue*, audio::PropertyListenerBlock) override;
    // Listener registrations in place now.
    std::size_t registrations();
    OSStatus AudioHardwareCreateProcessTap(const audio::TapDescription&, AudioObjectID*) override { return -1; }
    OSStatus AudioHardwareDestroyProcessTap(AudioObjectID) override { return -1; }
    OSStatus AudioHardwareCreateAggregateDevice(const nlohmann::json&, AudioObjectID*) override { return -1; }
    OSStatus AudioHardwareDestroyAggregateDevice(AudioObjectID) override { return -1; }
    OSStatus AudioDeviceCreateIOProcIDWithBlock(AudioDeviceIOProcID*, AudioObjectID, kit::SerialQueue*,
                                                audio::DeviceIOBlock) override {
        return -1;
    }
    OSStatus AudioDeviceStart(AudioObjectID, AudioDeviceIOProcID) override { return -1; }
    OSStatus AudioDeviceStop(AudioObjectID, AudioDeviceIOProcID) override { return -1; }
    OSStatus AudioDeviceDestroyIOProcID(AudioObjectID, AudioDeviceIOProcID) override { return -1; }
    AudioComponent AudioComponentFindNext(AudioComponent, const AudioComponentDescription*) override;
    OSStatus AudioComponentInstanceNew(AudioComponent, AudioComponentInstance*) override;
    OSStatus AudioComponentInstanceDispose(AudioComponentInstance) override;
    OSStatus AudioUnitSetProperty(AudioUnit, AudioUnitPropertyID, AudioUnitScope, AudioUnitElement, const void*,
                                  UInt32) override;
    OSStatus AudioUnitGetProperty(AudioUnit, AudioUnitPropertyID, AudioUnitScope, AudioUnitElement, void*,
                                  UInt32*) override;
    OSStatus AudioUnitInitialize(AudioUnit) override;
    OSStatus AudioUnitUninitialize(AudioUnit) override;
    OSStatus AudioOutputUnitStart(AudioUnit) override;
    OSStatus AudioOutputUnitStop(AudioUnit) override;
    OSStatus AudioUnitRender(AudioUnit, AudioUnitRenderActionFlags*, const AudioTimeStamp*, UInt32, UInt32,
                             AudioBufferList*) override;
    std::optional<std::string> stringValue(audio::StringRef ref) override;
    void releaseString(audio::StringRef) override {}
    std::unique_ptr<audio::SampleRateConverter> makeConverter(double inRate, double outRate) override;

private:
    void note(const std::string& call);

    std::mutex mutex_;
    std::vector<std::string> calls_;
    struct Registration {
        AudioObjectID object;
        AudioObjectPropertySelector selector;
        kit::SerialQueue* queue;
        audio::PropertyListenerBlock block;
    };
    std::vector<Registration> registrations_;
    AURenderCallbackStruct callback_{nullptr, nullptr};
    bool planar_ = false;
    bool running_ = false;
    std::uint64_t frameIndex_ = 0;
    int renders_ = 0;
    bool renderSizesRight_ = true;
};

}  // namespace tarnwick::testing::mic
