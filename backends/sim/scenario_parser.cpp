#include "backends/sim/scenario_parser.h"

#include <algorithm>
#include <cstdio>
#include <limits>
#include <map>

#include "backends/sim/model_names.h"
#include "backends/sim/scenario_json.h"
#include "backends/sim/trace_text.h"

namespace tarnwick::sim {

namespace {

constexpr std::int64_t kNoMax = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kStatusMin = std::numeric_limits<std::int32_t>::min();
constexpr std::int64_t kStatusMax = std::numeric_limits<std::int32_t>::max();

std::string quote(const std::string& text) { return Json(text).dump(); }

class Parser {
public:
    explicit Parser(const std::string& sourceName) : r_(sourceName) { scenario_.sourceName = sourceName; }

    Scenario run(const std::string& text) {
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
                scenario_.faults.push_back(fault(list[i], JsonReader::element("faults", i)));
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

private:
    DeviceSpec device(const Json& value, const std::string& where, std::size_t index) {
        r_.object(value, where);
        r_.onlyKeys(value, where,
                    {"uid", "id", "name", "input_channels", "output_channels", "sample_rate", "buffer_frames", "signal",
                     "unit", "input_configuration_size"});
        DeviceSpec d;
        const Json& uid = r_.required(value, where, "uid");
        std::string uidWhere = JsonReader::member(where, "uid");
        if (!uid.is_null()) {
            d.uid = r_.string(uid, uidWhere);
            auto [it, fresh] = uidIndex_.emplace(*d.uid, index);
            if (!fresh) {
                r_.fail(uidWhere, "duplicate UID " + quote(*d.uid) + " (also used by " +
                                      JsonReader::element("devices", it->second) + ")");
            }
        }
        d.id = static_cast<AudioObjectID>(100 + index);
        std::string idWhere = JsonReader::member(where, "id");
        if (auto found = value.find("id"); found != value.end()) {
            d.id = static_cast<AudioObjectID>(r_.integer(*found, idWhere, 2, std::numeric_limits<UInt32>::max()));
        }
        auto [idIt, idFresh] = idIndex_.emplace(d.id, index);
        if (!idFresh) {
            r_.fail(idWhere, "duplicate id " + std::to_string(d.id) + " (also used by " +
                                 JsonReader::element("devices", idIt->second) + ")");
        }
        d.name = d.uid;
        if (auto found = value.find("name"); found != value.end()) {
            if (found->is_null()) {
                d.name.reset();
            } else {
                d.name = r_.string(*found, JsonReader::member(where, "name"));
            }
        }
        if (auto found = value.find("input_channels"); found != value.end()) {
            std::string w = JsonReader::member(where, "input_channels");
            d.inputBuffers.clear();
            if (found->is_array()) {
                if (found->size() > kMaxBuffers) {
                    r_.fail(w, "more than " + std::to_string(kMaxBuffers) + " buffers");
                }
                for (std::size_t i = 0; i < found->size(); ++i) {
                    d.inputBuffers.push_back(
                        static_cast<UInt32>(r_.integer((*found)[i], JsonReader::element(w, i), 0, kMaxChannels)));
                }
            } else if (found->is_number()) {
                d.inputBuffers.push_back(static_cast<UInt32>(r_.integer(*found, w, 0, kMaxChannels)));
            } else {
                r_.fail(w, "expected an integer from 0 to " + std::to_string(kMaxChannels) +
                               " or an array of them, got " + JsonReader::describe(*found));
            }
        }
        if (auto found = value.find("output_channels"); found != value.end()) {
            d.outputChannels =
                static_cast<UInt32>(r_.integer(*found, JsonReader::member(where, "output_channels"), 0, kMaxChannels));
        }
        if (auto found = value.find("sample_rate"); found != value.end()) {
            d.sampleRate.reset();
            if (!found->is_null()) d.sampleRate = ioRate(*found, JsonReader::member(where, "sample_rate"));
        }
        if (auto found = value.find("buffer_frames"); found != value.end()) {
            d.bufferFrames.reset();
            if (!found->is_null()) {
                d.bufferFrames = static_cast<UInt32>(
                    r_.integer(*found, JsonReader::member(where, "buffer_frames"), 0, kMaxBufferFrames));
            }
        }
        if (auto found = value.find("signal"); found != value.end()) {
            d.signal = signal(*found, JsonReader::member(where, "signal"));
        }
        if (auto found = value.find("unit"); found != value.end()) d.unit = unit(*found, JsonReader::member(where, "unit"));
        if (auto found = value.find("input_configuration_size"); found != value.end()) {
            d.inputConfigurationSize = static_cast<UInt32>(
                r_.integer(*found, JsonReader::member(where, "input_configuration_size"), 0, 65536));
        }
        checkCycle(where, d.bufferFrames.value_or(kFallbackIoFrames), d.sampleRate.value_or(0));
        return d;
    }

    SignalSpec signal(const Json& value, const std::string& where) {
        r_.object(value, where);
        std::string kind = r_.string(r_.required(value, where, "kind"), JsonReader::member(where, "kind"));
        SignalSpec s;
        if (kind == "sine") {
            r_.onlyKeys(value, where, {"kind", "frequency", "amplitude"});
            s.kind = SignalSpec::Kind::sine;
        } else if (kind == "silence") {
            r_.onlyKeys(value, where, {"kind"});
            s.kind = SignalSpec::Kind::silence;
        } else if (kind == "noise") {
            r_.onlyKeys(value, where, {"kind", "amplitude", "seed"});
            s.kind = SignalSpec::Kind::noise;
        } else if (kind == "counter") {
            r_.onlyKeys(value, where, {"kind"});
            s.kind = SignalSpec::Kind::counter;
        } else {
            r_.fail(JsonReader::member(where, "kind"),
                    "unknown signal kind " + quote(kind) + " (expected sine, silence, noise or counter)");
        }
        if (auto found = value.find("frequency"); found != value.end()) {
            s.frequency = r_.number(*found, JsonReader::member(where, "frequency"), 0, kMaxSampleRate);
        }
        if (auto found = value.find("amplitude"); found != value.end()) {
            s.amplitude = r_.number(*found, JsonReader::member(where, "amplitude"), 0, 1000);
        }
        if (auto found = value.find("seed"); found != value.end()) {
            s.seed = static_cast<std::uint64_t>(r_.integer(*found, JsonReader::member(where, "seed"), 0, kNoMax));
        }
        return s;
    }

    SilentStarts silentStarts(const Json& value, const std::string& where) {
        SilentStarts s;
        if (value.is_string()) {
            if (value.get<std::string>() != "always") {
                r_.fail(where, "expected an integer ≥ 0 or \"always\", got " + JsonReader::describe(value));
            }
            s.always = true;
        } else if (value.is_number()) {
            s.count = static_cast<std::uint64_t>(r_.integer(value, where, 0, kNoMax));
        } else {
            r_.fail(where, "expected an integer ≥ 0 or \"always\", got " + JsonReader::describe(value));
        }
        return s;
    }

    UnitSpec unit(const Json& value, const std::string& where) {
        r_.object(value, where);
        r_.onlyKeys(value, where,
                    {"input_format", "rejects_interleaved", "rejects_non_interleaved", "rejects_stream_format",
                     "silent_starts"});
        UnitSpec u;
        if (auto found = value.find("input_format"); found != value.end()) {
            std::string w = JsonReader::member(where, "input_format");
            r_.object(*found, w);
            r_.onlyKeys(*found, w, {"sample_rate", "channels"});
            if (auto rate = found->find("sample_rate"); rate != found->end()) {
                u.inputFormatRate = r_.number(*rate, JsonReader::member(w, "sample_rate"), 0, kMaxSampleRate);
            }
            if (auto channels = found->find("channels"); channels != found->end()) {
                u.inputFormatChannels =
                    static_cast<UInt32>(r_.integer(*channels, JsonReader::member(w, "channels"), 0, kMaxChannels));
            }
        }
        if (auto found = value.find("rejects_interleaved"); found != value.end()) {
            u.rejectsInterleaved = r_.boolean(*found, JsonReader::member(where, "rejects_interleaved"));
        }
        if (auto found = value.find("rejects_non_interleaved"); found != value.end()) {
            u.rejectsNonInterleaved = r_.boolean(*found, JsonReader::member(where, "rejects_non_interleaved"));
        }
        if (auto found = value.find("rejects_stream_format"); found != value.end()) {
            u.rejectsStreamFormat = r_.boolean(*found, JsonReader::member(where, "rejects_stream_format"));
        }
        if (auto found = value.find("silent_starts"); found != value.end()) {
            u.silentStarts = silentStarts(*found, JsonReader::member(where, "silent_starts"));
        }
        return u;
    }

    TapSpec tap(const Json& value, const std::string& where) {
        r_.object(value, where);
        r_.onlyKeys(value, where,
                    {"format", "delivered_channels", "aggregate_buffer_frames", "output_list", "silent_starts", "signal"});
        TapSpec t;
        if (auto found = value.find("format"); found != value.end()) {
            std::string w = JsonReader::member(where, "format");
            r_.object(*found, w);
            r_.onlyKeys(*found, w, {"sample_rate", "channels", "planar"});
            if (auto rate = found->find("sample_rate"); rate != found->end()) {
                t.sampleRate = r_.number(*rate, JsonReader::member(w, "sample_rate"), 0, kMaxSampleRate);
            }
            if (auto channels = found->find("channels"); channels != found->end()) {
                t.channels = static_cast<UInt32>(r_.integer(*channels, JsonReader::member(w, "channels"), 0, kMaxChannels));
            }
            if (auto planar = found->find("planar"); planar != found->end()) {
                t.planar = r_.boolean(*planar, JsonReader::member(w, "planar"));
            }
        }
        if (auto found = value.find("delivered_channels"); found != value.end()) {
            t.deliveredChannels = static_cast<UInt32>(
                r_.integer(*found, JsonReader::member(where, "delivered_channels"), 0, kMaxChannels));
        }
        if (auto found = value.find("aggregate_buffer_frames"); found != value.end()) {
            t.aggregateBufferFrames = static_cast<UInt32>(
                r_.integer(*found, JsonReader::member(where, "aggregate_buffer_frames"), 0, kMaxBufferFrames));
        }
        if (auto found = value.find("output_list"); found != value.end()) {
            t.outputList = r_.boolean(*found, JsonReader::member(where, "output_list"));
        }
        if (auto found = value.find("silent_starts"); found != value.end()) {
            t.silentStarts = silentStarts(*found, JsonReader::member(where, "silent_starts"));
        }
        if (auto found = value.find("signal"); found != value.end()) {
            t.signal = signal(*found, JsonReader::member(where, "signal"));
        }
        return t;
    }

    FaultSpec fault(const Json& value, const std::string& where) {
        r_.object(value, where);
        r_.onlyKeys(value, where, {"call", "property", "scope", "status", "null_result", "after", "times"});
        FaultSpec f;
        std::string callWhere = JsonReader::member(where, "call");
        std::string name = r_.string(r_.required(value, where, "call"), callWhere);
        auto call = callFromName(name);
        if (!call) r_.fail(callWhere, "unknown call " + quote(name));
        f.call = *call;
        bool filterable = propertyKindOf(f.call) != PropertyKind::none;
        if (auto found = value.find("property"); found != value.end()) {
            std::string w = JsonReader::member(where, "property");
            if (!filterable) r_.fail(w, name + " has no property to filter on");
            if (found->is_string()) {
                std::string code = found->get<std::string>();
                if (code.size() != 4) {
                    r_.fail(w, "expected an integer or a four-character code, got " + JsonReader::describe(*found));
                }
                f.property = (UInt32(static_cast<unsigned char>(code[0])) << 24) |
                             (UInt32(static_cast<unsigned char>(code[1])) << 16) |
                             (UInt32(static_cast<unsigned char>(code[2])) << 8) | UInt32(static_cast<unsigned char>(code[3]));
            } else if (found->is_number()) {
                f.property = static_cast<UInt32>(r_.integer(*found, w, 0, std::numeric_limits<UInt32>::max()));
            } else {
                r_.fail(w, "expected an integer or a four-character code, got " + JsonReader::describe(*found));
            }
        }
        if (auto found = value.find("scope"); found != value.end()) {
            std::string w = JsonReader::member(where, "scope");
            if (!filterable) r_.fail(w, name + " has no scope to filter on");
            std::string scope = r_.string(*found, w);
            if (scope == "global") {
                f.scope = FaultScope::global;
            } else if (scope == "input") {
                f.scope = FaultScope::input;
            } else if (scope == "output") {
                f.scope = FaultScope::output;
            } else {
                r_.fail(w, "unknown scope " + quote(scope) + " (expected global, input or output)");
            }
        }
        if (auto found = value.find("status"); found != value.end()) {
            f.status = static_cast<OSStatus>(r_.integer(*found, JsonReader::member(where, "status"), kStatusMin, kStatusMax));
        }
        if (auto found = value.find("null_result"); found != value.end()) {
            f.nullResult = r_.boolean(*found, JsonReader::member(where, "null_result"));
        }
        if (auto found = value.find("after"); found != value.end()) {
            f.after = static_cast<std::uint64_t>(r_.integer(*found, JsonReader::member(where, "after"), 0, kNoMax));
        }
        if (auto found = value.find("times"); found != value.end()) {
            f.times = static_cast<std::uint64_t>(r_.integer(*found, JsonReader::member(where, "times"), 0, kNoMax));
        }
        return f;
    }

    ProcessSpec process(const Json& value, const std::string& where, std::size_t index) {
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

    // Devices and processes take IDs up to 2^32-1 and default ones grow with
    // their count, so the program's own object moves above them all when its
    // usual ID is taken (and below, should they reach the top).
    AudioObjectID freeOwnProcessID() const {
        auto used = [this](AudioObjectID id) { return idIndex_.count(id) || processIdIndex_.count(id); };
        if (!used(kOwnProcessObjectID)) return kOwnProcessObjectID;
        AudioObjectID highest = std::max(idIndex_.empty() ? 0 : idIndex_.rbegin()->first,
                                         processIdIndex_.empty() ? 0 : processIdIndex_.rbegin()->first);
        if (highest < std::numeric_limits<AudioObjectID>::max()) return highest + 1;
        AudioObjectID id = 2;
        while (used(id)) ++id;
        return id;
    }

    void setProcess(const Json& action, const std::string& w, EventSpec& e) {
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

    std::size_t namedDevice(const Json& value, const std::string& where) {
        std::string uid = r_.string(value, where);
        auto found = uidIndex_.find(uid);
        if (found == uidIndex_.end()) r_.fail(where, "no device with UID " + quote(uid));
        return found->second;
    }

    std::optional<std::size_t> defaultDevice(const Json& root, const char* key, bool input) {
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

    EventSpec event(const Json& value, const std::string& where) {
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
    static Json traceCopy(const std::string& name, const Json& action) {
        Json copy = Json::object();
        copy[name] = action;
        return copy;
    }

    // A rate that IO runs at: 0 (IO then uses the fallback rate) or one the
    // IO threads can pace.
    double ioRate(const Json& value, const std::string& where) {
        double rate = r_.number(value, where, 0, kMaxSampleRate);
        if (rate > 0 && rate < kMinIoRate) {
            r_.fail(where, value.dump() + " is out of range (expected 0 or a number from " + numberText(kMinIoRate) +
                               " to " + numberText(kMaxSampleRate) + ")");
        }
        return rate;
    }

    // IO of `frames` frames per cycle (0 paces like the fallback) at `rate`
    // (0 runs at the fallback rate) must not come faster than it can run.
    void checkCycle(const std::string& where, UInt32 frames, double rate) {
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
    void checkAggregateCycle() {
        double fastest = 0;
        for (const DeviceSpec& d : scenario_.devices) fastest = std::max(fastest, d.sampleRate.value_or(0));
        for (const EventSpec& e : scenario_.events) {
            if (e.action == EventSpec::Action::setSampleRate) fastest = std::max(fastest, e.value);
        }
        checkCycle("tap.aggregate_buffer_frames", scenario_.tap.aggregateBufferFrames, fastest);
    }

    JsonReader r_;
    Scenario scenario_;
    std::map<std::string, std::size_t> uidIndex_;
    std::map<AudioObjectID, std::size_t> idIndex_;
    std::map<std::int32_t, std::size_t> pidIndex_;
    std::map<AudioObjectID, std::size_t> processIdIndex_;
};

}  // namespace

Scenario parseScenario(const std::string& text, const std::string& sourceName) {
    return Parser(sourceName).run(text);
}

}  // namespace tarnwick::sim
