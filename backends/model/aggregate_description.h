#pragma once
// What an aggregate device's description dictionary asks for, read the same
// way by every emulated backend. Keys of the wrong type count as absent.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace tarnwick::model {

struct AggregateDescription {
    std::string uid;
    std::string name;
    bool isPrivate = false;
    // The main sub-device, which clocks the aggregate: "master", else the
    // first sub-device.
    std::optional<std::string> mainUid;
    // One entry per tap named: its UID, nullopt when the entry gives none.
    std::vector<std::optional<std::string>> taps;
};

// A flag ("private", "stacked", "tapautostart", a tap's "drift"): the number
// 0 or 1, as the platform documents it, or a boolean. Any other number, or
// another type, counts as absent.
inline bool flag(const nlohmann::json& object, const char* key) {
    auto found = object.find(key);
    if (found == object.end()) return false;
    if (found->is_boolean()) return found->get<bool>();
    if (found->is_number_integer()) return found->get<std::int64_t>() == 1;
    if (found->is_number_float()) return found->get<double>() == 1.0;
    return false;
}

inline AggregateDescription parseAggregateDescription(const nlohmann::json& description) {
    auto text = [](const nlohmann::json& object, const char* key) -> std::optional<std::string> {
        if (!object.is_object()) return std::nullopt;
        auto found = object.find(key);
        if (found == object.end() || !found->is_string()) return std::nullopt;
        return found->get<std::string>();
    };
    AggregateDescription result;
    result.uid = text(description, "uid").value_or("");
    result.name = text(description, "name").value_or("");
    result.isPrivate = flag(description, "private");
    result.mainUid = text(description, "master");
    if (!result.mainUid) {
        auto subs = description.find("subdevices");
        if (subs != description.end() && subs->is_array() && !subs->empty()) result.mainUid = text(subs->front(), "uid");
    }
    if (auto taps = description.find("taps"); taps != description.end() && taps->is_array()) {
        for (const auto& entry : *taps) result.taps.push_back(text(entry, "uid"));
    }
    return result;
}

}  // namespace tarnwick::model
