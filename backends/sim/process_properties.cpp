// Answers about process objects: the system's process list and PID
// translation, and each process object's PID, bundle ID and activity.

#include <cstring>

#include "backends/sim/layer_names.h"
#include "backends/sim/object_properties.h"

namespace tarnwick::sim {

namespace {

template <typename T>
std::vector<unsigned char> bytesOf(const T& value) {
    const auto* p = reinterpret_cast<const unsigned char*>(&value);
    return {p, p + sizeof(T)};
}

}  // namespace

std::optional<ObjectProperties::Value> ObjectProperties::processRead(AudioObjectID object,
                                                                     const AudioObjectPropertyAddress& address,
                                                                     Qualifier qualifier) const {
    Value v;
    if (object == audio::kSystemObject) {
        if (address.mSelector == audio::kPropProcessObjectList) {
            std::vector<AudioObjectID> ids = ctx_.processes.ids();
            std::string shown = "[";
            for (std::size_t i = 0; i < ids.size(); ++i) {
                auto bytes = bytesOf(ids[i]);
                v.bytes.insert(v.bytes.end(), bytes.begin(), bytes.end());
                shown += (i ? "," : "") + std::to_string(ids[i]);
            }
            v.shown = shown + "]";
            return v;
        }
        if (address.mSelector == audio::kPropTranslatePIDToProcessObject) {
            // The PID is the qualifier; without one of the right size there is nothing to translate.
            if (qualifier.data == nullptr || qualifier.size != sizeof(std::int32_t)) {
                v.status = audio::kBadPropertySizeError;
                return v;
            }
            std::int32_t pid = 0;
            std::memcpy(&pid, qualifier.data, sizeof pid);
            AudioObjectID id = ctx_.processes.idForPid(pid);
            v.bytes = bytesOf(id);
            v.shown = std::to_string(id);
            return v;
        }
        return std::nullopt;
    }
    auto process = ctx_.processes.view(object);
    if (!process) return std::nullopt;
    auto flag = [&v](bool value) {
        v.bytes = bytesOf(UInt32{value ? 1u : 0u});
        v.shown = value ? "1" : "0";
    };
    switch (address.mSelector) {
        case audio::kPropProcessPID:
            v.bytes = bytesOf(process->pid);
            v.shown = std::to_string(process->pid);
            break;
        case audio::kPropProcessBundleID:
            v.text = process->bundleID.value_or("");
            break;
        case audio::kPropProcessIsRunning:
            flag(process->activity.output || process->activity.input);
            break;
        case audio::kPropProcessIsRunningInput:
            flag(process->activity.input);
            break;
        case audio::kPropProcessIsRunningOutput:
            flag(process->activity.output);
            break;
        default:
            v.unreadable();
    }
    return v;
}

}  // namespace tarnwick::sim
