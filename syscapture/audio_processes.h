#pragma once
// The other programs that play audio: the system's process objects that run
// audio output, leaving out this program's own, which runs output through
// the keep-alive and the tap's aggregate device.

#include "frame/audio/audio_system.h"

namespace tarnwick::sys {

// Reads the process list afresh; a process whose state cannot be read counts
// as not playing, and an unreadable list as no process at all.
int otherProcessesPlayingAudio(audio::AudioSystem& system);

}  // namespace tarnwick::sys
