// What watches a running capture: the default-input and rate listeners, which
// end it so that the parent starts a fresh one, and the stall watchdog, which
// only reports (recovery belongs to the parent's own watchdog).

#include <cstdio>
#include <memory>
#include <string>

#include "frame/host_clock.h"
#include "frame/lifecycle.h"
#include "frame/log.h"
#include "miccapture/device_queries.h"
#include "miccapture/mic_capture.h"
#include "miccapture/mic_constants.h"

namespace tarnwick::mic {

using namespace tarnwick::audio;

namespace {

void defaultInputChanged() { shutdown("default input device changed — parent will restart capture"); }

void inputRateChanged(AudioDeviceID device) {
    double rate = propertyValue<Float64>(device, kPropNominalSampleRate, kScopeGlobal, 0.0);
    shutdown("input device rate changed to " + std::to_string(wholeHertz(rate)) + " Hz — parent will restart capture");
}

std::string oneDecimal(double seconds) {
    char text[64];
    std::snprintf(text, sizeof text, "%.1f", seconds);
    return text;
}

}  // namespace

// Every notification ends the capture: nothing is compared, since a change
// back and forth still leaves the parent's idea of the device stale.
void MicCapture::installListeners() {
    AudioSystem& system = audioSystem();
    if (!requestedUID_) {
        AudioObjectPropertyAddress address{kPropDefaultInputDevice, kScopeGlobal, kElementMain};
        listeners_.add(system, kSystemObject, address, listenerQueue_.get(),
                       [](UInt32, const AudioObjectPropertyAddress*) { defaultInputChanged(); });
    }
    AudioObjectPropertyAddress address{kPropNominalSampleRate, kScopeGlobal, kElementMain};
    auto device = std::make_shared<const AudioDeviceID>(deviceID_);
    listeners_.add(system, deviceID_, address, listenerQueue_.get(),
                   [device](UInt32, const AudioObjectPropertyAddress*) { inputRateChanged(*device); });
}

// Runs once the start is logged. The listeners come only after the first
// audio, so a change between binding and then notified nobody. One more look
// closes that window; a change found ends the capture through the listener
// queue, exactly as a notification arriving right now would. A read that
// fails tells nothing and ends nothing.
void MicCapture::recheckWhatListenersWatch() {
    if (!requestedUID_) {
        const auto current = propertyValue<AudioObjectID>(kSystemObject, kPropDefaultInputDevice, kScopeGlobal, 0);
        if (current != 0 && current != deviceID_) {
            listenerQueue_->async([] { defaultInputChanged(); });
            return;
        }
    }
    if (boundNominalRate_ <= 0) return;
    const double rate = propertyValue<Float64>(deviceID_, kPropNominalSampleRate, kScopeGlobal, 0.0);
    if (rate > 0 && rate != boundNominalRate_) {
        const AudioDeviceID device = deviceID_;
        listenerQueue_->async([device] { inputRateChanged(device); });
    }
}

void MicCapture::startStallTimer() {
    stallTimer_ = std::make_unique<kit::RepeatingTimer>(*listenerQueue_, stallTickInterval, stallTickInterval,
                                                        stallTickLeeway, [this] { checkForStall(); });
    stallTimer_->resume();
}

void MicCapture::checkForStall() {
    if (stopped_.load()) return;
    // Checked before the time is read: once the write has ended, the time
    // already covers it.
    if (writingToParent_.load()) return;
    const std::uint64_t last = lastRenderMach_.load();
    if (last == 0) return;
    const std::uint64_t now = hostTicks();
    const double elapsed = now > last ? machSeconds(now - last) : 0.0;
    if (stallLogged_) {
        if (elapsed < stallThresholdSeconds) {
            stallLogged_ = false;
            log("render callbacks resumed after " + oneDecimal(machSeconds(last - stallStartMach_)) + " s");
        }
        return;
    }
    if (elapsed >= stallThresholdSeconds) {
        stallLogged_ = true;
        stallStartMach_ = last;
        log("no render callback for " + oneDecimal(elapsed) +
            " s — capture has stalled (log-only; the parent's 5 s watchdog owns recovery)");
    }
}

}  // namespace tarnwick::mic
