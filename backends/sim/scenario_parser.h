#pragma once
// Reads a scenario file's text into a validated Scenario.

#include <string>

#include "backends/sim/scenario.h"

namespace tarnwick::sim {

// Throws ScenarioError naming `sourceName` and the problem.
Scenario parseScenario(const std::string& text, const std::string& sourceName);

}  // namespace tarnwick::sim
