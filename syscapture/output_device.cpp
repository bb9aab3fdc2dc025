#include "syscapture/output_device.h"

#include "frame/audio/audio_system.h"
#include "frame/capture_error.h"
#include "frame/lifecycle.h"
#include "frame/log.h"
#include "syscapture/constants.h"
#include "syscapture/text_format.h"

namespace tarnwick::sys {

using namespace tarnwick::audio;

OutputDevice defaultOutputDevice() {
    auto& system = audioSystem();
    const AudioObjectPropertyAddress defaultOutput{kPropDefaultOutputDevice, kScopeGlobal, kElementMain};
    AudioObjectID id = 0;
    UInt32 size = sizeof id;
    OSStatus status = system.AudioObjectGetPropertyData(kSystemObject, &defaultOutput, 0, nullptr, &size, &id);
    if (status != 0 || id == 0) throw CaptureError("no default output device (" + std::to_string(status) + ")");

    const AudioObjectPropertyAddress uidAddress{kPropDeviceUID, kScopeGlobal, kElementMain};
    StringRef uid = nullptr;
    size = sizeof uid;
    status = system.AudioObjectGetPropertyData(id, &uidAddress, 0, nullptr, &size, &uid);
    if (status != 0) throw CaptureError("could not read output device UID (" + std::to_string(status) + ")");

    OutputDevice device{id, {}};
    if (uid != nullptr) {
        device.uid = system.stringValue(uid).value_or("");
        system.releaseString(uid);
    }
    return device;
}

double nominalSampleRate(AudioObjectID device) {
    const AudioObjectPropertyAddress address{kPropNominalSampleRate, kScopeGlobal, kElementMain};
    Float64 rate = 0;
    UInt32 size = sizeof rate;
    audioSystem().AudioObjectGetPropertyData(device, &address, 0, nullptr, &size, &rate);
    return rate;
}

void waitForOutputDeviceToSettle() {
    int checks = 0;
    AudioObjectID previousDevice = 0;
    double previousRate = 0;
    for (;;) {
        AudioObjectID device = 0;
        try {
            device = defaultOutputDevice().id;
        } catch (const CaptureError&) {
            return;  // the attempt's own lookup reports it
        }
        const double rate = nominalSampleRate(device);
        if (device == previousDevice && rate == previousRate && rate > 0) {
            if (checks >= settleChecksBeforeReport) {
                log("output device settled at " + wholeNumber(rate) + " Hz after " + std::to_string(checks) +
                    " checks");
            }
            return;
        }
        startPause(settlePauseMicros);
        ++checks;
        if (checks >= settleReadings) {
            log("output device did not settle (" + wholeNumber(rate) + " Hz) — proceeding anyway");
            return;
        }
        previousDevice = device;
        previousRate = rate;
    }
}

}  // namespace tarnwick::sys
