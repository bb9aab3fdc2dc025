// Answers about process objects: the system's process list and PID
// translation, and each process object's PID, bundle ID and activity.

#include "backends/sim/layer_names.h"
#include "backends/sim/object_properties.h"

namespace tarnwick::sim {

std::optional<ObjectProperties::Value> ObjectProperties::processRead(AudioObjectID object,
                                                                     const AudioObjectPropertyAddress& address,
                                                                     Qualifier qualifier) const {
    if (object == audio::kSystemObject) {
        if (address.mSelector == audio::kPropProcessObjectList) return model::idListValue(ctx_.processes.ids());
        if (address.mSelector == audio::kPropTranslatePIDToProcessObject) {
            return model::pidTranslation(qualifier.size, qualifier.data,
                                         [this](std::int32_t pid) { return ctx_.processes.idForPid(pid); });
        }
        return std::nullopt;
    }
    auto process = ctx_.processes.view(object);
    if (!process) return std::nullopt;
    return model::processValue({process->pid, process->bundleID.value_or(""), process->activity.output,
                                process->activity.input},
                               address.mSelector);
}

}  // namespace tarnwick::sim
