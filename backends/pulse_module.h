#pragma once
// Loads the PulseAudio backend's module (with libpulse behind it) at run time,
// from its place relative to the program's own file.

#include <memory>
#include <string>

#include "frame/audio/audio_system.h"

namespace tarnwick::audio {

// The opened system, or empty with `error` saying why: the module or libpulse
// could not be loaded, or the sound server could not be reached.
std::shared_ptr<AudioSystem> openPulseModule(std::string& error);

// Where the module is looked for: next to the running program, as installed.
std::string pulseModulePath();

}  // namespace tarnwick::audio
