#include "syscapture/listeners.h"

#include "frame/audio/audio_system.h"
#include "frame/lifecycle.h"
#include "syscapture/output_device.h"
#include "syscapture/process_tap_capture.h"
#include "syscapture/text_format.h"

namespace tarnwick::sys {

using namespace tarnwick::audio;

void defaultOutputChanged() { shutdown("default output device changed — parent will restart capture"); }

void outputRateChanged(AudioObjectID device) {
    // Any notification ends the capture, even one that leaves the rate as it
    // was; the rate read only fills the message.
    shutdown("output device rate changed to " + wholeNumber(nominalSampleRate(device)) +
             " Hz — parent will restart capture");
}

void ProcessTapCapture::installListeners() {
    auto& system = audioSystem();
    // Statuses are not examined: a listener that could not be installed only
    // leaves that change unobserved. Both are removed when the capture stops.
    const AudioObjectPropertyAddress defaultOutput{kPropDefaultOutputDevice, kScopeGlobal, kElementMain};
    listeners_.add(system, kSystemObject, defaultOutput, &listenerQueue_,
                   [](UInt32, const AudioObjectPropertyAddress*) { defaultOutputChanged(); });
    const AudioObjectPropertyAddress rate{kPropNominalSampleRate, kScopeGlobal, kElementMain};
    const AudioObjectID device = outputDeviceID_;
    listeners_.add(system, device, rate, &listenerQueue_,
                   [device](UInt32, const AudioObjectPropertyAddress*) { outputRateChanged(device); });
}

// Runs once the start is logged. The listeners come only after the first
// audio, so a change between binding and then notified nobody. One more look
// closes that window; a change found ends the capture through the listener
// queue, exactly as a notification arriving right now would. A read that
// fails tells nothing and ends nothing.
void ProcessTapCapture::recheckWhatListenersWatch() {
    auto& system = audioSystem();
    const AudioObjectPropertyAddress defaultOutput{kPropDefaultOutputDevice, kScopeGlobal, kElementMain};
    AudioObjectID current = 0;
    UInt32 size = sizeof current;
    if (system.AudioObjectGetPropertyData(kSystemObject, &defaultOutput, 0, nullptr, &size, &current) == 0 &&
        size == sizeof current && current != outputDeviceID_) {
        listenerQueue_.async([] { defaultOutputChanged(); });
        return;
    }
    if (boundOutputRate_ <= 0) return;
    const double rate = nominalSampleRate(outputDeviceID_);
    if (rate > 0 && rate != boundOutputRate_) {
        const AudioObjectID device = outputDeviceID_;
        listenerQueue_.async([device] { outputRateChanged(device); });
    }
}

}  // namespace tarnwick::sys
