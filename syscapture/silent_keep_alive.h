#pragma once
// A HAL output unit that renders silence into the default output device, so
// that the device's IO engine keeps running while a tap records it. The
// probe mode uses it on its own to ask whether the output engine runs IO.

#include "frame/audio/platform_types.h"
#include "frame/kit/semaphore.h"

namespace tarnwick::sys {

class SilentKeepAlive {
public:
    SilentKeepAlive() = default;
    SilentKeepAlive(const SilentKeepAlive&) = delete;
    SilentKeepAlive& operator=(const SilentKeepAlive&) = delete;

    // Only called while no unit runs. Throws CaptureError; on failure no unit
    // is left behind. StartInterrupted passes through after the unit is released.
    void start(AudioObjectID deviceID, double sampleRate);

    // Stops, uninitialises and disposes the unit; nothing when there is none.
    void stop();

    bool running() const { return unit_ != nullptr; }

private:
    AudioUnit unit_ = nullptr;
};

// The unit's render callback: zero-fills, flags silence, and on its very
// first call in this process signals firstRenderSignal().
OSStatus silentRender(void* context, AudioUnitRenderActionFlags* flags, const AudioTimeStamp* timeStamp,
                      UInt32 bus, UInt32 frames, AudioBufferList* data);

// Signalled once per process by the first render; only the probe waits on it.
kit::Semaphore& firstRenderSignal();
bool firstRenderSeen();

}  // namespace tarnwick::sys
