#pragma once
// What AudioHardwareTapping.h and CATapDescription.h give Objective-C on
// macOS, for the C++ of this layer: the description object is the
// simulator's own description, and the two tap calls are declared here, for
// the file that stands in for process_tap.mm and the file that implements
// them. Nothing else includes this, so the backend's C++ cannot reach the tap
// API, just as on macOS.

#include <CoreAudio/CoreAudio.h>

#include "frame/audio/audio_system.h"

struct CATapDescription {
    tarnwick::audio::TapDescription description;
};

extern "C" {
OSStatus AudioHardwareCreateProcessTap(CATapDescription* inDescription, AudioObjectID* outTapID);
OSStatus AudioHardwareDestroyProcessTap(AudioObjectID inTapID);
}
