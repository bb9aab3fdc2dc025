#include "backends/sim/scenario_parser.h"

#include <algorithm>
#include <cstdio>
#include <limits>

#include "backends/sim/fault_parser.h"
#include "backends/sim/scenario_reader.h"

namespace tarnwick::sim {

Scenario ScenarioReader::run(const std::string& text) {
    JsonDocument document = r_.parse(text);
    const Json& root = document.root();
    if (!root.is_object()) r_.fail("", "the scenario must be a JSON object, got " + JsonReader::describe(root));
    r_.onlyKeys(root, "", {"devices", "default_input", "default_output", "tap", "faults", "events", "processes"});

    const Json& devices = r_.array(r_.required(root, "", "devices"), "devices");
    for (std::size_t i = 0; i < devices.size(); ++i) {
        scenario_.devices.push_back(device(devices[i], JsonReader::element("devices", i), i));
    }
    scenario_.defaultInput = defaultDevice(root, "default_input", true);
    scenario_.defaultOutput = defaultDevice(root, "default_output", false);
    if (auto found = root.find("tap"); found != root.end()) scenario_.tap = tap(*found, "tap");
    if (auto found = root.find("faults"); found != root.end()) {
        const Json& list = r_.array(*found, "faults");
        for (std::size_t i = 0; i < list.size(); ++i) {
            scenario_.faults.push_back(parseFault(r_, list[i], JsonReader::element("faults", i)));
        }
    }
    if (auto found = root.find("processes"); found != root.end()) {
        const Json& list = r_.array(*found, "processes");
        for (std::size_t i = 0; i < list.size(); ++i) {
            scenario_.processes.push_back(process(list[i], JsonReader::element("processes", i), i));
        }
    }
    if (auto found = root.find("events"); found != root.end()) {
        const Json& list = r_.array(*found, "events");
        for (std::size_t i = 0; i < list.size(); ++i) {
            scenario_.events.push_back(event(list[i], JsonReader::element("events", i)));
        }
        std::stable_sort(scenario_.events.begin(), scenario_.events.end(),
                         [](const EventSpec& a, const EventSpec& b) { return a.at < b.at; });
    }
    checkAggregateCycle();
    scenario_.ownProcessID = freeOwnProcessID();
    return std::move(scenario_);
}

std::size_t ScenarioReader::namedDevice(const Json& value, const std::string& where) {
    std::string uid = r_.string(value, where);
    auto found = uidIndex_.find(uid);
    if (found == uidIndex_.end()) r_.fail(where, "no device with UID " + quote(uid));
    return found->second;
}

std::optional<std::size_t> ScenarioReader::defaultDevice(const Json& root, const char* key, bool input) {
    auto found = root.find(key);
    if (found == root.end()) {
        for (std::size_t i = 0; i < scenario_.devices.size(); ++i) {
            const DeviceSpec& d = scenario_.devices[i];
            if (input ? d.inputChannelTotal() > 0 : d.outputChannels > 0) return i;
        }
        return std::nullopt;
    }
    if (found->is_null()) return std::nullopt;
    if (!found->is_string()) r_.fail(key, "expected a UID string or null, got " + JsonReader::describe(*found));
    return namedDevice(*found, key);
}

// Devices and processes take IDs up to 2^32-1 and default ones grow with
// their count, so the program's own object moves above them all when its
// usual ID is taken (and below, should they reach the top).
AudioObjectID ScenarioReader::freeOwnProcessID() const {
    auto used = [this](AudioObjectID id) { return idIndex_.count(id) || processIdIndex_.count(id); };
    if (!used(kOwnProcessObjectID)) return kOwnProcessObjectID;
    AudioObjectID highest = std::max(idIndex_.empty() ? 0 : idIndex_.rbegin()->first,
                                     processIdIndex_.empty() ? 0 : processIdIndex_.rbegin()->first);
    if (highest < std::numeric_limits<AudioObjectID>::max()) return highest + 1;
    AudioObjectID id = 2;
    while (used(id)) ++id;
    return id;
}

// A rate that IO runs at: 0 (IO then uses the fallback rate) or one the
// IO threads can pace.
double ScenarioReader::ioRate(const Json& value, const std::string& where) {
    double rate = r_.number(value, where, 0, kMaxSampleRate);
    if (rate > 0 && rate < kMinIoRate) {
        r_.fail(where, value.dump() + " is out of range (expected 0 or a number from " + numberText(kMinIoRate) +
                           " to " + numberText(kMaxSampleRate) + ")");
    }
    return rate;
}

// IO of `frames` frames per cycle (0 paces like the fallback) at `rate`
// (0 runs at the fallback rate) must not come faster than it can run.
void ScenarioReader::checkCycle(const std::string& where, UInt32 frames, double rate) {
    const UInt32 paced = frames > 0 ? frames : kFallbackIoFrames;
    const double hertz = rate > 0 ? rate : kFallbackIoRate;
    const double seconds = paced / hertz;
    if (seconds >= kMinIoCycleSeconds) return;
    char micros[32];
    std::snprintf(micros, sizeof micros, "%.1f", seconds * 1e6);
    r_.fail(where, std::to_string(paced) + (paced == 1 ? " frame" : " frames") + " per IO cycle at " +
                       numberText(hertz) + " Hz make cycles of " + micros +
                       " µs; the simulated IO runs cycles of " + numberText(kMinIoCycleSeconds * 1e6) +
                       " µs or longer");
}

// The aggregate device runs its own buffer size at the rate of whichever
// device clocks it, so it must keep pace at the fastest rate any device
// can have.
void ScenarioReader::checkAggregateCycle() {
    double fastest = 0;
    for (const DeviceSpec& d : scenario_.devices) fastest = std::max(fastest, d.sampleRate.value_or(0));
    for (const EventSpec& e : scenario_.events) {
        if (e.action == EventSpec::Action::setSampleRate) fastest = std::max(fastest, e.value);
    }
    checkCycle("tap.aggregate_buffer_frames", scenario_.tap.aggregateBufferFrames, fastest);
}

Scenario parseScenario(const std::string& text, const std::string& sourceName) {
    return ScenarioReader(sourceName).run(text);
}

}  // namespace tarnwick::sim
