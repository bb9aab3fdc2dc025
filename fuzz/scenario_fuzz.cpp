// The scenario parser on any text: it either yields a scenario or throws
// ScenarioError with a one-line message naming the file; nothing else.
// libFuzzer's memory and time limits (set by scripts/fuzz) catch costs that
// grow faster than the text.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "backends/sim/scenario_parser.h"
#include "backends/sim/sim_audio_system.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    try {
        tarnwick::sim::Scenario scenario = tarnwick::sim::parseScenario(text, "fuzz.json");
        if (scenario.defaultInput && *scenario.defaultInput >= scenario.devices.size()) std::abort();
        if (scenario.defaultOutput && *scenario.defaultOutput >= scenario.devices.size()) std::abort();
        for (const auto& event : scenario.events) {
            if (event.device && *event.device >= scenario.devices.size()) std::abort();
        }
        // The IO threads' deadline arithmetic relies on these.
        using tarnwick::sim::kMinIoRate;
        for (const auto& device : scenario.devices) {
            const double rate = device.sampleRate.value_or(0);
            if (rate != 0 && !(rate >= kMinIoRate)) std::abort();
            const double hertz = rate > 0 ? rate : tarnwick::sim::kFallbackIoRate;
            const unsigned frames = device.bufferFrames.value_or(0) > 0 ? *device.bufferFrames : tarnwick::sim::kFallbackIoFrames;
            if (frames / hertz < tarnwick::sim::kMinIoCycleSeconds) std::abort();
        }
    } catch (const tarnwick::sim::ScenarioError& error) {
        const std::string message = error.what();
        if (message.rfind("simulated audio: fuzz.json: ", 0) != 0 || message.find('\n') != std::string::npos) {
            std::fprintf(stderr, "malformed scenario error: %s\n", message.c_str());
            std::abort();
        }
    }
    return 0;
}
