// Opening the simulated system: scenario from text, a file or the built-in
// default; trace file from a path.

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <system_error>

#include "backends/sim/default_scenario.h"
#include "backends/sim/scenario_parser.h"
#include "backends/sim/sim_audio_system.h"
#include "backends/sim/sim_system.h"

namespace tarnwick::sim {

namespace {

std::string environment(const char* name) {
    const char* value = std::getenv(name);
    return value ? value : "";
}

std::string readScenarioFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        int error = errno;
        throw ScenarioError("simulated audio: " + path + ": cannot read the scenario file (" + std::strerror(error) + ")");
    }
    std::ostringstream text;
    text << in.rdbuf();
    if (in.bad()) throw ScenarioError("simulated audio: " + path + ": cannot read the scenario file");
    return text.str();
}

std::shared_ptr<Trace> openTrace(const std::string& path) {
    if (path.empty()) return std::make_shared<Trace>();
    try {
        return Trace::openFile(path);
    } catch (const std::system_error& error) {
        throw ScenarioError("simulated audio: " + path + ": cannot open the trace file (" +
                            std::strerror(error.code().value()) + ")");
    }
}

std::shared_ptr<audio::AudioSystem> open(const std::string& text, const std::string& sourceName,
                                         const std::string& tracePath) {
    Scenario scenario = parseScenario(text, sourceName);
    return std::make_shared<SimAudioSystem>(std::move(scenario), openTrace(tracePath));
}

}  // namespace

std::shared_ptr<audio::AudioSystem> openFromEnvironment() {
    // An empty variable counts as absent.
    std::string scenarioPath = environment("TARNWICK_SIM_SCENARIO");
    std::string tracePath = environment("TARNWICK_SIM_TRACE");
    if (scenarioPath.empty()) return open(defaultScenarioText(), kDefaultScenarioName, tracePath);
    return open(readScenarioFile(scenarioPath), scenarioPath, tracePath);
}

std::shared_ptr<audio::AudioSystem> openFromText(const std::string& scenarioText, const std::string& sourceName,
                                                 const std::string& tracePath) {
    if (scenarioText.empty()) return open(defaultScenarioText(), kDefaultScenarioName, tracePath);
    return open(scenarioText, sourceName, tracePath);
}

}  // namespace tarnwick::sim
