// A C++ file that calls the process-tap API with every CoreAudio header
// included. On macOS it does not compile: the tap API is Objective-C only.
// The rendering of Apple's headers must refuse it the same way. Built
// without TARNWICK_CALL_TAP_API it calls a plain hardware function instead
// and must compile, which shows that the failure is the tap API's.

#include <CoreAudio/CoreAudio.h>
#include <CoreAudio/AudioHardwareTapping.h>
#include <CoreAudio/CATapDescription.h>

OSStatus destroyBoth(AudioObjectID tap, AudioObjectID aggregate) {
    OSStatus status = AudioHardwareDestroyAggregateDevice(aggregate);
#ifdef TARNWICK_CALL_TAP_API
    AudioObjectID created = 0;
    if (status == 0) status = AudioHardwareCreateProcessTap(nullptr, &created);
    if (status == 0) status = AudioHardwareDestroyProcessTap(tap);
#else
    (void)tap;
#endif
    return status;
}
