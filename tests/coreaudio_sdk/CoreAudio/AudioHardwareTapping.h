// Process taps, as Apple's SDK declares them: everything inside
// `#ifdef __OBJC__`, so that a C or C++ file sees none of it. Off macOS
// nothing here compiles as Objective-C; the layer under the backend declares
// its own implementation for the one file that stands in for the backend's
// Objective-C++ (tests/coreaudio_over_sim/process_tap_api.h).
#ifndef TARNWICK_SDK_AUDIOHARDWARETAPPING_H
#define TARNWICK_SDK_AUDIOHARDWARETAPPING_H

#include <CoreAudio/AudioHardware.h>

#ifdef __OBJC__

@class CATapDescription;

#ifdef __cplusplus
extern "C" {
#endif

// macOS 14.2.
OSStatus AudioHardwareCreateProcessTap(CATapDescription* inDescription, AudioObjectID* outTapID);
OSStatus AudioHardwareDestroyProcessTap(AudioObjectID inTapID);

#ifdef __cplusplus
}
#endif

#endif  // __OBJC__

#endif
