#pragma once
// The scenario used when none is given.

namespace tarnwick::sim {

// The built-in default scenario, as scenario JSON.
const char* defaultScenarioText();

// The name errors and documentation use for it.
constexpr const char* kDefaultScenarioName = "built-in default scenario";

}  // namespace tarnwick::sim
