#pragma once
// The simulated audio system: a complete implementation of the platform
// boundary driven by a scenario file, with fault injection, timed events and
// a call trace. See docs/simulated-audio.md.

#include <memory>
#include <stdexcept>
#include <string>

#include "frame/audio/audio_system.h"

namespace tarnwick::sim {

// A scenario that cannot be used. what() is the complete log message,
// starting "simulated audio: " and naming the file and the problem.
class ScenarioError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Whether the simulated system reads TARNWICK_TRACE and TARNWICK_FAULTS: it
// does as the selected system; beneath another backend those belong to the
// call layer over that backend, which would otherwise count every fault twice.
enum class LayerVariables { read, leftToTheLayer };

// Opens the simulated system from TARNWICK_SIM_SCENARIO (absent: the built-in
// default scenario) and TARNWICK_SIM_TRACE (absent: TARNWICK_TRACE, or no
// trace), adding the faults of TARNWICK_FAULTS to the scenario's. Throws
// ScenarioError.
std::shared_ptr<audio::AudioSystem> openFromEnvironment(LayerVariables layerVariables = LayerVariables::read);

// The same from explicit inputs: scenario JSON text (empty: built-in default),
// the name to report in errors, and a trace path (empty: none).
std::shared_ptr<audio::AudioSystem> openFromText(const std::string& scenarioText, const std::string& sourceName,
                                                 const std::string& tracePath);

}  // namespace tarnwick::sim
