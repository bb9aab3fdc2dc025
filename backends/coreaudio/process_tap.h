#pragma once
// Creating a process tap: the boundary's description becomes the platform's
// tap description, which only Objective-C can build on macOS
// (process_tap.mm). Builds over the simulated system link a replacement that
// hands the simulator the same fields.

#include "frame/audio/audio_system.h"

namespace tarnwick::coreaudio {

OSStatus createProcessTap(const audio::TapDescription& description, AudioObjectID* outTapID);

}  // namespace tarnwick::coreaudio
