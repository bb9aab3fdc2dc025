#pragma once
// What the engine does when the output device changes under a running
// capture: it cannot follow, so it ends the process for the parent to start
// a fresh child.

#include "frame/audio/platform_types.h"

namespace tarnwick::sys {

void defaultOutputChanged();
void outputRateChanged(AudioObjectID device);

}  // namespace tarnwick::sys
