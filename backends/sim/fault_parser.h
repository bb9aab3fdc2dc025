#pragma once
// FAULT objects, as a scenario's "faults" holds them and as a faults file
// lists them for the real backends.

#include <string>
#include <vector>

#include "backends/sim/scenario.h"
#include "backends/sim/scenario_json.h"

namespace tarnwick::sim {

// One FAULT object at `where`; throws ScenarioError through `reader`.
FaultSpec parseFault(const JsonReader& reader, const Json& value, const std::string& where);

// A whole faults file: a JSON array of FAULT objects. Errors read
// "injected faults: <source>: [<index>].<key>: <problem>".
std::vector<FaultSpec> parseFaultList(const std::string& text, const std::string& sourceName);

}  // namespace tarnwick::sim
