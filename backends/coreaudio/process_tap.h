#pragma once
// Creating and destroying a process tap. Apple declares both calls for
// Objective-C only (AudioHardwareTapping.h), so they are made from
// process_tap.mm and nowhere else; the rest of the backend is C++ and comes
// through here. Builds over the simulated system link a replacement that
// hands the simulator the same fields.

#include "frame/audio/audio_system.h"

namespace tarnwick::coreaudio {

OSStatus createProcessTap(const audio::TapDescription& description, AudioObjectID* outTapID);
OSStatus destroyProcessTap(AudioObjectID tapID);

}  // namespace tarnwick::coreaudio
