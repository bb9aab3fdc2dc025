// Opening the simulated system: scenario from text, a file or the built-in
// default; trace file from a path.

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
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
    auto failure = [&path](int error) {
        return ScenarioError("simulated audio: " + path + ": cannot read the scenario file (" + std::strerror(error) + ")");
    };
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw failure(errno);
    std::string text;
    char buffer[65536];
    for (;;) {
        ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n > 0) {
            try {
                text.append(buffer, static_cast<std::size_t>(n));
            } catch (...) {
                ::close(fd);
                throw;
            }
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            // A directory gets here too, and says so ("Is a directory").
            int error = errno;
            ::close(fd);
            throw failure(error);
        }
    }
    ::close(fd);
    return text;
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

std::shared_ptr<audio::AudioSystem> openFromEnvironment() {
    // An empty variable counts as absent.
    std::string scenarioPath = environment("TARNWICK_SIM_SCENARIO");
    std::string tracePath = environment("TARNWICK_SIM_TRACE");
    if (scenarioPath.empty()) return open(defaultScenarioText(), kDefaultScenarioName, tracePath);
    return guarded(scenarioPath, [&] { return open(readScenarioFile(scenarioPath), scenarioPath, tracePath); });
}

std::shared_ptr<audio::AudioSystem> openFromText(const std::string& scenarioText, const std::string& sourceName,
                                                 const std::string& tracePath) {
    if (scenarioText.empty()) return open(defaultScenarioText(), kDefaultScenarioName, tracePath);
    return guarded(sourceName, [&] { return open(scenarioText, sourceName, tracePath); });
}

}  // namespace tarnwick::sim
