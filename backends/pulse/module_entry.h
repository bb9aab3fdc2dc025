#pragma once
// The PulseAudio backend is a module of its own that a program loads only
// when it chooses this backend, so that libpulse and the libraries it pulls in
// are no part of any other run. The module's one entry point, shared by the
// module and the loader.

#include <memory>
#include <string>

#include "frame/audio/audio_system.h"

namespace tarnwick::pulse {

// Opens the system for this process. On failure leaves `system` empty, puts
// the reason in `error` and returns false.
using OpenModuleFunction = bool (*)(std::shared_ptr<audio::AudioSystem>* system, std::string* error);
inline constexpr const char* openModuleSymbol = "tarnwick_pulse_open";

}  // namespace tarnwick::pulse
