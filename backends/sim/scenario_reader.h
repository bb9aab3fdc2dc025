#pragma once
// The reader behind parseScenario, one instance per file. Its sections live
// in the files named for them: scenario_parser.cpp (the top level, defaults
// and the checks that span sections), scenario_devices.cpp (devices, signals,
// units, the tap) and scenario_events.cpp (processes, events).

#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <string>

#include "backends/sim/model_names.h"
#include "backends/sim/scenario.h"
#include "backends/sim/scenario_json.h"
#include "backends/sim/layer_names.h"

namespace tarnwick::sim {

inline constexpr std::int64_t kNoMax = std::numeric_limits<std::int64_t>::max();
inline constexpr std::int64_t kStatusMin = std::numeric_limits<std::int32_t>::min();
inline constexpr std::int64_t kStatusMax = std::numeric_limits<std::int32_t>::max();

inline std::string quote(const std::string& text) { return Json(text).dump(); }

class ScenarioReader {
public:
    explicit ScenarioReader(const std::string& sourceName) : r_(sourceName) { scenario_.sourceName = sourceName; }

    Scenario run(const std::string& text);

private:
    DeviceSpec device(const Json& value, const std::string& where, std::size_t index);
    SignalSpec signal(const Json& value, const std::string& where);
    SilentStarts silentStarts(const Json& value, const std::string& where);
    UnitSpec unit(const Json& value, const std::string& where);
    TapSpec tap(const Json& value, const std::string& where);

    ProcessSpec process(const Json& value, const std::string& where, std::size_t index);
    void setProcess(const Json& action, const std::string& w, EventSpec& e);
    EventSpec event(const Json& value, const std::string& where);
    static Json traceCopy(const std::string& name, const Json& action);

    std::size_t namedDevice(const Json& value, const std::string& where);
    std::optional<std::size_t> defaultDevice(const Json& root, const char* key, bool input);
    AudioObjectID freeOwnProcessID() const;
    double ioRate(const Json& value, const std::string& where);
    void checkCycle(const std::string& where, UInt32 frames, double rate);
    void checkAggregateCycle();

    JsonReader r_;
    Scenario scenario_;
    std::map<std::string, std::size_t> uidIndex_;
    std::map<AudioObjectID, std::size_t> idIndex_;
    std::map<std::int32_t, std::size_t> pidIndex_;
    std::map<AudioObjectID, std::size_t> processIdIndex_;
};

}  // namespace tarnwick::sim
