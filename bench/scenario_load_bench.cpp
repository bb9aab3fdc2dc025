// What a scenario costs as it grows: long lists of devices, faults and events,
// deep nesting (which is rejected), and listing the input devices of a large
// scenario as `tarnwick-miccapture --list` does. Each runs at growing sizes and
// the figures are fitted; a cost in proportion to the size shows as O(N).
//
// Run: build/plain/bench/scenario_load_bench  (figures only; nothing is asserted)

#include <benchmark/benchmark.h>

#include <string>

#include "backends/sim/scenario_parser.h"
#include "backends/sim/sim_audio_system.h"
#include "frame/audio/audio_system.h"
#include "miccapture/device_list.h"

namespace {

using tarnwick::sim::ScenarioError;

std::string devices(std::int64_t n) {
    std::string text = "{\"devices\": [";
    for (std::int64_t i = 0; i < n; ++i) {
        text += (i ? ",{\"uid\": \"d" : "{\"uid\": \"d") + std::to_string(i) + "\", \"input_channels\": 1}";
    }
    return text + "]}";
}

std::string faults(std::int64_t n) {
    std::string text = "{\"devices\": [], \"faults\": [";
    for (std::int64_t i = 0; i < n; ++i) text += (i ? "," : "") + std::string("{\"call\": \"AudioDeviceStart\", \"status\": 1}");
    return text + "]}";
}

std::string events(std::int64_t n) {
    std::string text = "{\"devices\": [{\"uid\": \"m\", \"input_channels\": 1}], \"events\": [";
    for (std::int64_t i = 0; i < n; ++i) {
        text += (i ? "," : "") + std::string("{\"at\": ") + std::to_string(n - i) +
                ", \"stall\": {\"device\": \"m\", \"seconds\": 0.1}}";
    }
    return text + "]}";
}

std::string nested(std::int64_t n) {
    return "{\"devices\": " + std::string(static_cast<std::size_t>(n), '[') + std::string(static_cast<std::size_t>(n), ']') + "}";
}

void load(benchmark::State& state, std::string (*make)(std::int64_t)) {
    const std::string text = make(state.range(0));
    for (auto _ : state) {
        try {
            benchmark::DoNotOptimize(tarnwick::sim::parseScenario(text, "bench.json"));
        } catch (const ScenarioError&) {
        }
    }
    state.SetComplexityN(state.range(0));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(text.size()));
}

void BM_LoadDevices(benchmark::State& state) { load(state, devices); }
void BM_LoadFaults(benchmark::State& state) { load(state, faults); }
void BM_LoadEvents(benchmark::State& state) { load(state, events); }
void BM_LoadNested(benchmark::State& state) { load(state, nested); }

void BM_ListDevices(benchmark::State& state) {
    tarnwick::audio::setAudioSystemForTesting(tarnwick::sim::openFromText(devices(state.range(0)), "bench.json", ""));
    for (auto _ : state) benchmark::DoNotOptimize(tarnwick::mic::deviceListJson());
    tarnwick::audio::setAudioSystemForTesting(nullptr);
    state.SetComplexityN(state.range(0));
}

#define SIZES RangeMultiplier(4)->Range(1 << 10, 1 << 16)->Complexity(benchmark::oN)->Unit(benchmark::kMillisecond)
BENCHMARK(BM_LoadDevices)->SIZES;
BENCHMARK(BM_LoadFaults)->SIZES;
BENCHMARK(BM_LoadEvents)->SIZES;
BENCHMARK(BM_LoadNested)->SIZES;
BENCHMARK(BM_ListDevices)->SIZES;

}  // namespace

BENCHMARK_MAIN();
