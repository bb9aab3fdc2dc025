// Opening the simulated system: scenario from text, a file or the built-in
// default; trace file from a path; more faults from a faults file.

#include <cstdlib>
#include <new>

#include "backends/sim/default_scenario.h"
#include "backends/sim/fault_parser.h"
#include "backends/sim/run_files.h"
#include "backends/sim/scenario_parser.h"
#include "backends/sim/sim_audio_system.h"
#include "backends/sim/sim_system.h"

namespace tarnwick::sim {

namespace {

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

// Faults from a faults file follow the scenario's own, which so decide first
// when both fail the same call.
std::shared_ptr<audio::AudioSystem> open(const std::string& text, const std::string& sourceName,
                                         const std::string& tracePath, std::vector<FaultSpec> moreFaults = {}) {
    Scenario scenario = parseScenario(text, sourceName);
    scenario.faults.insert(scenario.faults.end(), moreFaults.begin(), moreFaults.end());
    return std::make_shared<SimAudioSystem>(std::move(scenario), openTrace(tracePath, "simulated audio"));
}

// A scenario too large for the memory at hand is a bad scenario like any
// other: one line, not an abort. What the failed allocation held is free
// again by the time the message is built.
template <typename Load>
std::shared_ptr<audio::AudioSystem> guarded(const std::string& sourceName, Load load) {
    try {
        return load();
    } catch (const std::bad_alloc&) {
        throw ScenarioError("simulated audio: " + sourceName + ": not enough memory to load the scenario");
    }
}

}  // namespace

std::shared_ptr<audio::AudioSystem> openFromEnvironment(LayerVariables layerVariables) {
    const bool readLayerVariables = layerVariables == LayerVariables::read;
    // An empty variable counts as absent. The variables for every backend
    // work here too: the trace is the simulator's own, so one of them names
    // it; the faults join the scenario's.
    std::string scenarioPath = environment("TARNWICK_SIM_SCENARIO");
    std::string tracePath = environment("TARNWICK_SIM_TRACE");
    if (tracePath.empty() && readLayerVariables) tracePath = environment("TARNWICK_TRACE");
    auto load = [&] {
        std::string text = scenarioPath.empty()
                               ? defaultScenarioText()
                               : readTextFile(scenarioPath, "simulated audio", "the scenario file");
        const std::string& name = scenarioPath.empty() ? std::string(kDefaultScenarioName) : scenarioPath;
        return open(text, name, tracePath, readFaultFile(readLayerVariables ? environment("TARNWICK_FAULTS") : ""));
    };
    if (scenarioPath.empty()) return load();
    return guarded(scenarioPath, load);
}

std::shared_ptr<audio::AudioSystem> openFromText(const std::string& scenarioText, const std::string& sourceName,
                                                 const std::string& tracePath) {
    if (scenarioText.empty()) return open(defaultScenarioText(), kDefaultScenarioName, tracePath);
    return guarded(sourceName, [&] { return open(scenarioText, sourceName, tracePath); });
}

}  // namespace tarnwick::sim
