#include "syscapture/silent_keep_alive.h"

#include <atomic>
#include <cstring>
#include <string>

#include "frame/audio/audio_system.h"
#include "frame/capture_error.h"
#include "frame/lifecycle.h"
#include "frame/log.h"
#include "frame/retry.h"
#include "syscapture/constants.h"
#include "syscapture/text_format.h"

namespace tarnwick::sys {

using namespace tarnwick::audio;

namespace {

// Both exist before main runs, so the render thread never meets a lazy
// initialisation (and its guard lock); never destroyed, as render threads
// may outlive main.
kit::Semaphore* const firstRender = new kit::Semaphore(0);
std::atomic<bool> firstRenderFlag{false};

CaptureError stepFailed(const char* step, OSStatus status) {
    return CaptureError(std::string("keepalive: ") + step + " failed (" + std::to_string(status) + ")");
}

}  // namespace

kit::Semaphore& firstRenderSignal() { return *firstRender; }
bool firstRenderSeen() { return firstRenderFlag.load(); }

OSStatus silentRender(void*, AudioUnitRenderActionFlags* flags, const AudioTimeStamp*, UInt32, UInt32,
                      AudioBufferList* data) {
    if (!firstRenderFlag.load(std::memory_order_relaxed) && !firstRenderFlag.exchange(true)) firstRender->signal();
    if (data != nullptr) {
        for (UInt32 i = 0; i < data->mNumberBuffers; ++i) {
            AudioBuffer& buffer = data->mBuffers[i];
            if (buffer.mData != nullptr) std::memset(buffer.mData, 0, buffer.mDataByteSize);
        }
    }
    if (flags != nullptr) *flags |= kRenderActionOutputIsSilence;
    return 0;
}

void SilentKeepAlive::start(AudioObjectID deviceID, double sampleRate) {
    auto& system = audioSystem();
    const AudioComponentDescription description{kUnitTypeOutput, kUnitSubTypeHALOutput, kUnitManufacturerApple, 0, 0};
    AudioComponent component = system.AudioComponentFindNext(nullptr, &description);
    if (component == nullptr) throw CaptureError("keepalive: no HALOutput component");

    AudioUnit unit = nullptr;
    OSStatus status = system.AudioComponentInstanceNew(component, &unit);
    if (status != 0 || unit == nullptr) {
        if (unit != nullptr) system.AudioComponentInstanceDispose(unit);
        throw stepFailed("AudioComponentInstanceNew", status);
    }
    // From here on every failure disposes the instance before it is reported.
    auto fail = [&](const char* step, OSStatus failed) {
        system.AudioComponentInstanceDispose(unit);
        return stepFailed(step, failed);
    };

    const UInt32 enable = 1;
    const UInt32 disable = 0;
    status = system.AudioUnitSetProperty(unit, kUnitPropEnableIO, kUnitScopeOutput, 0, &enable, sizeof enable);
    if (status != 0) throw fail("EnableIO out", status);
    status = system.AudioUnitSetProperty(unit, kUnitPropEnableIO, kUnitScopeInput, 1, &disable, sizeof disable);
    if (status != 0) throw fail("EnableIO in", status);
    status = system.AudioUnitSetProperty(unit, kUnitPropCurrentDevice, kUnitScopeGlobal, 0, &deviceID, sizeof deviceID);
    if (status != 0) throw fail("CurrentDevice", status);

    const AudioStreamBasicDescription format{sampleRate > 0 ? sampleRate : fallbackSampleRate,
                                             kFormatLinearPCM,
                                             kFormatFlagIsFloat | kFormatFlagIsPacked | kFormatFlagIsNonInterleaved,
                                             4,
                                             1,
                                             4,
                                             2,
                                             32,
                                             0};
    status = system.AudioUnitSetProperty(unit, kUnitPropStreamFormat, kUnitScopeInput, 0, &format, sizeof format);
    if (status != 0) {
        log("keepalive: StreamFormat set failed (" + std::to_string(status) + ") — using device default");
    }

    const AURenderCallbackStruct callback{silentRender, nullptr};
    status = system.AudioUnitSetProperty(unit, kUnitPropSetRenderCallback, kUnitScopeInput, 0, &callback,
                                         sizeof callback);
    if (status != 0) throw fail("SetRenderCallback", status);

    status = system.AudioUnitInitialize(unit);
    if (status != 0) throw fail("AudioUnitInitialize", status);

    try {
        status = startWithRetry("keepalive: AudioOutputUnitStart", [&] { return system.AudioOutputUnitStart(unit); });
    } catch (const StartInterrupted&) {
        system.AudioUnitUninitialize(unit);
        system.AudioComponentInstanceDispose(unit);
        throw;
    }
    if (status != 0) {
        system.AudioUnitUninitialize(unit);
        system.AudioComponentInstanceDispose(unit);
        throw CaptureError("keepalive: AudioOutputUnitStart failed (" + std::to_string(status) + ")",
                           status == kUnspecifiedError);
    }

    unit_ = unit;
    log("keepalive: silent render started on output device " + std::to_string(deviceID) + " @ " +
        wholeNumber(sampleRate) + " Hz");
}

void SilentKeepAlive::stop() {
    if (unit_ == nullptr) return;
    auto& system = audioSystem();
    system.AudioOutputUnitStop(unit_);
    system.AudioUnitUninitialize(unit_);
    system.AudioComponentInstanceDispose(unit_);
    unit_ = nullptr;
}

}  // namespace tarnwick::sys
