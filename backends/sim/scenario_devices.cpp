// Part of the scenario reader: devices, their signals and units, and the tap.

#include "backends/sim/scenario_reader.h"

#include <limits>

namespace tarnwick::sim {

DeviceSpec ScenarioReader::device(const Json& value, const std::string& where, std::size_t index) {
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

SignalSpec ScenarioReader::signal(const Json& value, const std::string& where) {
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

SilentStarts ScenarioReader::silentStarts(const Json& value, const std::string& where) {
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

UnitSpec ScenarioReader::unit(const Json& value, const std::string& where) {
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

TapSpec ScenarioReader::tap(const Json& value, const std::string& where) {
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

}  // namespace tarnwick::sim
