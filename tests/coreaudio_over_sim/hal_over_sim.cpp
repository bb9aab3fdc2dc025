// Apple's hardware calls over the simulated system: objects and properties,
// listeners, process taps, aggregate devices and device IO.

#include <CoreAudio/CoreAudio.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

#include "backends/sim/sim_audio_system.h"
#include "tests/coreaudio_over_sim/simulated_hal.h"
#include "tests/coreaudio_over_sim/process_tap_api.h"

namespace tarnwick::coreaudio_over_sim {

namespace {

std::mutex openMutex;
std::shared_ptr<audio::AudioSystem>* keeper = new std::shared_ptr<audio::AudioSystem>();  // lives until exit
// Read on IO threads, so a plain atomic pointer rather than the keeper.
std::atomic<audio::AudioSystem*> current{nullptr};

}  // namespace

// The thread the platform notifies listeners on.
static kit::SerialQueue& notificationQueue() {
    static kit::SerialQueue* queue = new kit::SerialQueue("hal-notifications");  // lives until exit
    return *queue;
}

// Listeners registered with a proc, and the simulator's block for each.
struct ProcListener {
    AudioObjectID object;
    AudioObjectPropertyAddress address;
    AudioObjectPropertyListenerProc proc;
    void* clientData;
    audio::PropertyListenerBlock block;
};
struct ProcListeners {
    std::mutex mutex;
    std::vector<ProcListener> all;
};
static ProcListeners& procListeners() {
    static ProcListeners* registered = new ProcListeners();  // lives until exit
    return *registered;
}

// Properties whose value is a CFStringRef on the platform; the simulator
// hands out its own references for them instead.
static bool isStringProperty(AudioObjectPropertySelector selector) {
    switch (selector) {
        case kAudioDevicePropertyDeviceUID:
        case kAudioObjectPropertyName:
        case kAudioObjectPropertyManufacturer:
        case kAudioDevicePropertyModelUID:
        case kAudioTapPropertyUID:
        case kAudioProcessPropertyBundleID:
            return true;
        default:
            return false;
    }
}

void openSimulatedHal() { useSimulatedHal(sim::openFromEnvironment(sim::LayerVariables::leftToTheLayer)); }

void useSimulatedHal(std::shared_ptr<audio::AudioSystem> system) {
    std::lock_guard lock(openMutex);
    *keeper = std::move(system);
    current.store(keeper->get());
}

audio::AudioSystem& simulatedHal() {
    audio::AudioSystem* system = current.load();
    if (system == nullptr) {
        std::fprintf(stderr, "the simulated CoreAudio layer was used before it was opened\n");
        std::abort();
    }
    return *system;
}

}  // namespace tarnwick::coreaudio_over_sim

using tarnwick::coreaudio_over_sim::simulatedHal;
using tarnwick::coreaudio_over_sim::isStringProperty;

extern "C" {

OSStatus AudioObjectGetPropertyDataSize(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress,
                                        UInt32 inQualifierDataSize, const void* inQualifierData,
                                        UInt32* outDataSize) {
    return simulatedHal().AudioObjectGetPropertyDataSize(inObjectID, inAddress, inQualifierDataSize,
                                                         inQualifierData, outDataSize);
}

OSStatus AudioObjectGetPropertyData(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress,
                                    UInt32 inQualifierDataSize, const void* inQualifierData, UInt32* ioDataSize,
                                    void* outData) {
    auto& system = simulatedHal();
    const OSStatus status = system.AudioObjectGetPropertyData(inObjectID, inAddress, inQualifierDataSize,
                                                              inQualifierData, ioDataSize, outData);
    if (status != noErr || inAddress == nullptr || !isStringProperty(inAddress->mSelector) || ioDataSize == nullptr ||
        *ioDataSize != sizeof(CFStringRef) || outData == nullptr) {
        return status;
    }
    // The platform hands the caller a CFString of its own, to release with
    // CFRelease; the simulator's reference is read and released here.
    tarnwick::audio::StringRef simulated = nullptr;
    std::memcpy(&simulated, outData, sizeof simulated);
    CFStringRef string = nullptr;
    if (simulated != nullptr) {
        std::optional<std::string> text = system.stringValue(simulated);
        system.releaseString(simulated);
        if (text) string = CFStringCreateWithCString(kCFAllocatorDefault, text->c_str(), kCFStringEncodingUTF8);
    }
    std::memcpy(outData, &string, sizeof string);
    return status;
}

OSStatus AudioObjectSetPropertyData(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress,
                                    UInt32 inQualifierDataSize, const void* inQualifierData, UInt32 inDataSize,
                                    const void* inData) {
    return simulatedHal().AudioObjectSetPropertyData(inObjectID, inAddress, inQualifierDataSize, inQualifierData,
                                                     inDataSize, inData);
}

OSStatus AudioObjectAddPropertyListener(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress,
                                        AudioObjectPropertyListenerProc inListener, void* inClientData) {
    if (inListener == nullptr || inAddress == nullptr) return kAudioHardwareIllegalOperationError;
    tarnwick::audio::PropertyListenerBlock block =
        [inObjectID, inListener, inClientData](UInt32 count, const AudioObjectPropertyAddress* addresses) {
            inListener(inObjectID, count, addresses, inClientData);
        };
    auto& registered = tarnwick::coreaudio_over_sim::procListeners();
    std::lock_guard lock(registered.mutex);
    const OSStatus status = simulatedHal().AudioObjectAddPropertyListenerBlock(
        inObjectID, inAddress, &tarnwick::coreaudio_over_sim::notificationQueue(), block);
    if (status == 0) registered.all.push_back({inObjectID, *inAddress, inListener, inClientData, std::move(block)});
    return status;
}

// The proc and client data name the registration, as on the platform; the
// simulator is handed the block that was registered for them.
OSStatus AudioObjectRemovePropertyListener(AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress,
                                           AudioObjectPropertyListenerProc inListener, void* inClientData) {
    if (inListener == nullptr || inAddress == nullptr) return kAudioHardwareIllegalOperationError;
    auto& registered = tarnwick::coreaudio_over_sim::procListeners();
    std::lock_guard lock(registered.mutex);
    for (auto it = registered.all.begin(); it != registered.all.end(); ++it) {
        if (it->object == inObjectID && it->address.mSelector == inAddress->mSelector &&
            it->address.mScope == inAddress->mScope && it->address.mElement == inAddress->mElement &&
            it->proc == inListener && it->clientData == inClientData) {
            const OSStatus status = simulatedHal().AudioObjectRemovePropertyListenerBlock(
                inObjectID, inAddress, &tarnwick::coreaudio_over_sim::notificationQueue(), it->block);
            if (status == 0) registered.all.erase(it);
            return status;
        }
    }
    return kAudioHardwareIllegalOperationError;
}

OSStatus AudioDeviceCreateIOProcID(AudioObjectID inDevice, AudioDeviceIOProc inProc, void* inClientData,
                                   AudioDeviceIOProcID* outIOProcID) {
    if (inProc == nullptr) return kAudioHardwareIllegalOperationError;
    // No queue: like the platform's, the proc runs on the device's IO thread.
    return simulatedHal().AudioDeviceCreateIOProcIDWithBlock(
        outIOProcID, inDevice, nullptr,
        [inDevice, inProc, inClientData](const AudioTimeStamp* now, const AudioBufferList* input,
                                         const AudioTimeStamp* inputTime, AudioBufferList* output,
                                         const AudioTimeStamp* outputTime) {
            inProc(inDevice, now, input, inputTime, output, outputTime, inClientData);
        });
}

OSStatus AudioDeviceDestroyIOProcID(AudioObjectID inDevice, AudioDeviceIOProcID inIOProcID) {
    return simulatedHal().AudioDeviceDestroyIOProcID(inDevice, inIOProcID);
}

OSStatus AudioDeviceStart(AudioObjectID inDevice, AudioDeviceIOProcID inProcID) {
    return simulatedHal().AudioDeviceStart(inDevice, inProcID);
}

OSStatus AudioDeviceStop(AudioObjectID inDevice, AudioDeviceIOProcID inProcID) {
    return simulatedHal().AudioDeviceStop(inDevice, inProcID);
}

OSStatus AudioHardwareCreateAggregateDevice(CFDictionaryRef inDescription, AudioObjectID* outDeviceID) {
    if (inDescription == nullptr) return kAudioHardwareIllegalOperationError;
    const nlohmann::json description = tarnwick::coreaudio_over_sim::jsonFromCF(inDescription);
    return simulatedHal().AudioHardwareCreateAggregateDevice(description, outDeviceID);
}

OSStatus AudioHardwareDestroyAggregateDevice(AudioObjectID inDeviceID) {
    return simulatedHal().AudioHardwareDestroyAggregateDevice(inDeviceID);
}

OSStatus AudioHardwareCreateProcessTap(CATapDescription* inDescription, AudioObjectID* outTapID) {
    if (inDescription == nullptr) return kAudioHardwareIllegalOperationError;
    return simulatedHal().AudioHardwareCreateProcessTap(inDescription->description, outTapID);
}

OSStatus AudioHardwareDestroyProcessTap(AudioObjectID inTapID) {
    return simulatedHal().AudioHardwareDestroyProcessTap(inTapID);
}

}  // extern "C"
