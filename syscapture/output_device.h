#pragma once
// The system's default output device: who it is, its nominal rate, and a
// short wait until neither changes between two readings.

#include <string>

#include "frame/audio/platform_types.h"

namespace tarnwick::sys {

struct OutputDevice {
    AudioObjectID id = 0;
    std::string uid;
};

// Throws CaptureError "no default output device (<status>)" or
// "could not read output device UID (<status>)". Logs nothing.
OutputDevice defaultOutputDevice();

// 0 when the rate cannot be read.
double nominalSampleRate(AudioObjectID device);

// Reads device and rate every 150 ms until two readings agree (rate above 0),
// at most 14 times. Never fails; its pauses end early with StartInterrupted
// when a shutdown begins.
void waitForOutputDeviceToSettle();

}  // namespace tarnwick::sys
