#pragma once
// A C layer that implements the Apple declarations of tests/coreaudio_sdk on
// top of the simulated audio system, so that the CoreAudio backend builds and
// runs off macOS. Where Apple's documented behaviour differs from the
// simulator's, this layer follows Apple: string properties come back as
// CFStrings the caller owns, the converter's input callback may answer "no
// data now" with a non-zero status, IO procs run on the device's own thread.

#include <CoreFoundation/CoreFoundation.h>

#include <cstddef>
#include <memory>

#include <nlohmann/json.hpp>

#include "frame/audio/audio_system.h"

namespace tarnwick::coreaudio_over_sim {

// Opens the simulated system from TARNWICK_SIM_SCENARIO and TARNWICK_SIM_TRACE,
// as TARNWICK_AUDIO=sim does; TARNWICK_TRACE and TARNWICK_FAULTS are the call
// layer's over the CoreAudio backend. Throws sim::ScenarioError.
void openSimulatedHal();
// Puts a given simulated system behind the declarations (in-process tests).
void useSimulatedHal(std::shared_ptr<audio::AudioSystem> system);
// The system behind the declarations; ends the process when none was opened.
audio::AudioSystem& simulatedHal();

// CF objects alive now (constant strings and the booleans excluded).
std::size_t liveCFObjects();
// A property-list value as JSON: strings, booleans, numbers, arrays and
// dictionaries with string keys; null for anything else.
nlohmann::json jsonFromCF(CFTypeRef value);

}  // namespace tarnwick::coreaudio_over_sim
