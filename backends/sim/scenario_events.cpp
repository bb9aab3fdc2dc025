// Part of the scenario reader: processes and timed events (faults are read
// by fault_parser, which faults files share).

#include "backends/sim/scenario_reader.h"

#include <limits>

namespace tarnwick::sim {

ProcessSpec ScenarioReader::process(const Json& value, const std::string& where, std::size_t index) {
    r_.object(value, where);
    r_.onlyKeys(value, where, {"pid", "id", "bundle_id", "running_output", "running_input"});
    ProcessSpec p;
    std::string pidWhere = JsonReader::member(where, "pid");
    p.pid = static_cast<std::int32_t>(
        r_.integer(r_.required(value, where, "pid"), pidWhere, 1, std::numeric_limits<std::int32_t>::max()));
    auto [pidIt, pidFresh] = pidIndex_.emplace(p.pid, index);
    if (!pidFresh) {
        r_.fail(pidWhere, "duplicate pid " + std::to_string(p.pid) + " (also used by " +
                              JsonReader::element("processes", pidIt->second) + ")");
    }
    p.id = static_cast<AudioObjectID>(2000 + index);
    std::string idWhere = JsonReader::member(where, "id");
    if (auto found = value.find("id"); found != value.end()) {
        p.id = static_cast<AudioObjectID>(r_.integer(*found, idWhere, 2, std::numeric_limits<UInt32>::max()));
    }
    // Process objects share the ID space of devices; one ID names one object.
    if (auto device = idIndex_.find(p.id); device != idIndex_.end()) {
        r_.fail(idWhere, "duplicate id " + std::to_string(p.id) + " (also used by " +
                             JsonReader::element("devices", device->second) + ")");
    }
    auto [idIt, idFresh] = processIdIndex_.emplace(p.id, index);
    if (!idFresh) {
        r_.fail(idWhere, "duplicate id " + std::to_string(p.id) + " (also used by " +
                             JsonReader::element("processes", idIt->second) + ")");
    }
    if (auto found = value.find("bundle_id"); found != value.end() && !found->is_null()) {
        p.bundleID = r_.string(*found, JsonReader::member(where, "bundle_id"));
    }
    if (auto found = value.find("running_output"); found != value.end()) {
        p.runningOutput = r_.boolean(*found, JsonReader::member(where, "running_output"));
    }
    if (auto found = value.find("running_input"); found != value.end()) {
        p.runningInput = r_.boolean(*found, JsonReader::member(where, "running_input"));
    }
    return p;
}

void ScenarioReader::setProcess(const Json& action, const std::string& w, EventSpec& e) {
    r_.onlyKeys(action, w, {"pid", "running_output", "running_input"});
    std::string pidWhere = JsonReader::member(w, "pid");
    auto pid = r_.integer(r_.required(action, w, "pid"), pidWhere, 1, std::numeric_limits<std::int32_t>::max());
    auto found = pidIndex_.find(static_cast<std::int32_t>(pid));
    if (found == pidIndex_.end()) r_.fail(pidWhere, "no process with pid " + std::to_string(pid));
    e.action = EventSpec::Action::setProcess;
    e.process = found->second;
    if (auto output = action.find("running_output"); output != action.end()) {
        e.runningOutput = r_.boolean(*output, JsonReader::member(w, "running_output"));
    }
    if (auto input = action.find("running_input"); input != action.end()) {
        e.runningInput = r_.boolean(*input, JsonReader::member(w, "running_input"));
    }
}

EventSpec ScenarioReader::event(const Json& value, const std::string& where) {
    r_.object(value, where);
    r_.onlyKeys(value, where,
                {"at", "set_default_input", "set_default_output", "set_sample_rate", "stall", "render_error",
                 "set_process", "set_signal"});
    EventSpec e;
    e.at = r_.number(r_.required(value, where, "at"), JsonReader::member(where, "at"), 0, 86400);
    const Json* action = nullptr;
    std::string actionName;
    for (const auto& item : value.items()) {
        if (item.key() == "at") continue;
        if (action) r_.fail(where, "more than one action (" + actionName + " and " + item.key() + ")");
        action = &item.value();
        actionName = item.key();
    }
    if (!action) {
        r_.fail(where, "no action (expected one of set_default_input, set_default_output, set_sample_rate, stall, "
                       "render_error, set_process, set_signal)");
    }
    std::string w = JsonReader::member(where, actionName);
    if (actionName == "set_default_input" || actionName == "set_default_output") {
        e.action = actionName == "set_default_input" ? EventSpec::Action::setDefaultInput
                                                     : EventSpec::Action::setDefaultOutput;
        if (!action->is_null()) {
            if (!action->is_string()) r_.fail(w, "expected a UID string or null, got " + JsonReader::describe(*action));
            e.device = namedDevice(*action, w);
        }
        e.actionJson = traceCopy(actionName, *action);
        return e;
    }
    r_.object(*action, w);
    if (actionName == "set_process") {
        setProcess(*action, w, e);
        e.actionJson = traceCopy(actionName, *action);
        return e;
    }
    if (actionName == "set_signal") {
        r_.onlyKeys(*action, w, {"device", "signal"});
        e.action = EventSpec::Action::setSignal;
        e.device = namedDevice(r_.required(*action, w, "device"), JsonReader::member(w, "device"));
        e.signal = signal(r_.required(*action, w, "signal"), JsonReader::member(w, "signal"));
        e.actionJson = traceCopy(actionName, *action);
        return e;
    }
    if (actionName == "set_sample_rate") {
    } else if (actionName == "stall") {
        r_.onlyKeys(*action, w, {"device", "seconds"});
    } else {
        r_.onlyKeys(*action, w, {"device", "status", "times"});
    }
    e.device = namedDevice(r_.required(*action, w, "device"), JsonReader::member(w, "device"));
    if (actionName == "set_sample_rate") {
        e.action = EventSpec::Action::setSampleRate;
        std::string rateWhere = JsonReader::member(w, "rate");
        e.value = ioRate(r_.required(*action, w, "rate"), rateWhere);
        checkCycle(rateWhere, scenario_.devices[*e.device].bufferFrames.value_or(kFallbackIoFrames), e.value);
    } else if (actionName == "stall") {
        e.action = EventSpec::Action::stall;
        e.value = r_.number(r_.required(*action, w, "seconds"), JsonReader::member(w, "seconds"), 0, 3600);
    } else {
        e.action = EventSpec::Action::renderError;
        e.status = static_cast<OSStatus>(
            r_.integer(r_.required(*action, w, "status"), JsonReader::member(w, "status"), kStatusMin, kStatusMax));
        if (auto found = action->find("times"); found != action->end()) {
            e.times = static_cast<std::uint64_t>(r_.integer(*found, JsonReader::member(w, "times"), 0, kNoMax));
        }
    }
    e.actionJson = traceCopy(actionName, *action);
    return e;
}

// The action as written, for the trace. Taken only once the action is
// known to be valid: copying JSON recurses, and an unchecked value could
// be nested arbitrarily deep.
Json ScenarioReader::traceCopy(const std::string& name, const Json& action) {
    Json copy = Json::object();
    copy[name] = action;
    return copy;
}

}  // namespace tarnwick::sim
