// Audio unit properties: the trace, fault injection and locking around them;
// what they accept and report is the emulated model's (backends/model/unit_config.h).

#include <cstring>

#include "backends/sim/layer_names.h"
#include "backends/sim/model_names.h"
#include "backends/sim/unit_host.h"

namespace tarnwick::sim {

namespace {

bool isUsableFloatFormat(const AudioStreamBasicDescription& f) {
    return f.mFormatID == audio::kFormatLinearPCM && (f.mFormatFlags & audio::kFormatFlagIsFloat) != 0 &&
           f.mBitsPerChannel == 32 && f.mChannelsPerFrame >= 1 && f.mChannelsPerFrame <= kMaxChannels &&
           f.mSampleRate >= 0;
}

std::string propertyArgs(AudioUnit unit, AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element) {
    return unitName(unit) + " prop=" + std::to_string(id) + " scope=" + unitScopeText(scope) +
           " element=" + std::to_string(element);
}

// The scenario's devices as the shared unit properties see them.
class ScenarioUnitDevices final : public model::UnitDevices {
public:
    explicit ScenarioUnitDevices(const DeviceTable& devices) : devices_(devices) {}

    bool exists(AudioObjectID device) const override { return devices_.byId(device) != nullptr; }
    AudioObjectID bound(const UnitConfig& config) const override {
        const DeviceState* device =
            devices_.byId(config.device ? *config.device
                                        : (config.inputEnabled ? devices_.defaultInput.load()
                                                               : devices_.defaultOutput.load()));
        return device ? device->id() : 0;
    }
    AudioStreamBasicDescription inputFormat(AudioObjectID device) const override {
        return deviceInputFormat(*devices_.byId(device));
    }
    AudioStreamBasicDescription outputFormat(AudioObjectID device) const override {
        return deviceOutputFormat(*devices_.byId(device));
    }
    AudioStreamBasicDescription renderFormat(AudioObjectID device) const override {
        return defaultRenderFormat(*devices_.byId(device));
    }
    OSStatus acceptsClientFormat(AudioObjectID device, const AudioStreamBasicDescription& format) const override {
        if (!isUsableFloatFormat(format)) return audio::kFormatNotSupported;
        const DeviceState* bound = devices_.byId(device);
        const UnitSpec* rules = bound ? &bound->setup().unit : nullptr;
        if (rules && (isPlanar(format) ? rules->rejectsNonInterleaved : rules->rejectsInterleaved)) {
            return audio::kFormatNotSupported;
        }
        return 0;
    }
    OSStatus acceptsRenderFormat(AudioObjectID device, const AudioStreamBasicDescription& format) const override {
        if (!isUsableFloatFormat(format)) return audio::kFormatNotSupported;
        const DeviceState* bound = devices_.byId(device);
        if (bound && bound->setup().unit.rejectsStreamFormat) return audio::kFormatNotSupported;
        return 0;
    }

private:
    const DeviceTable& devices_;
};

}  // namespace

OSStatus UnitHost::setProperty(AudioUnit unit, AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                               const void* data, UInt32 size) {
    std::string args = propertyArgs(unit, id, scope, element);
    if (auto hit = ctx_.faults->check(Call::AudioUnitSetProperty, id, FaultTable::unitScope(scope))) {
        ctx_.trace->call("AudioUnitSetProperty", args, hit->status, "fault");
        return hit->status;
    }
    std::string valueText;
    OSStatus status;
    {
        std::lock_guard lock(mutex_);
        Unit* u = find(unit);
        if (!u) {
            status = kBadComponentInstance;
        } else if (u->run || u->silentlyRunning) {
            status = kUnitErrCannotDoInCurrentContext;  // the IO thread reads the settings without a lock
        } else {
            status = applyProperty(*u, id, scope, element, data, size, &valueText);
        }
    }
    ctx_.trace->call("AudioUnitSetProperty", valueText.empty() ? args : args + " value=" + valueText, status, "");
    return status;
}

OSStatus UnitHost::applyProperty(Unit& unit, AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                                 const void* data, UInt32 size, std::string* valueText) {
    if (!data) return audio::kInvalidParameterError;
    *valueText = unitValueText(id, data, size);
    return model::applyUnitProperty(unit.config, ScenarioUnitDevices(ctx_.devices), id, scope, element, data, size);
}

OSStatus UnitHost::getProperty(AudioUnit unit, AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                               void* data, UInt32* ioSize) {
    std::string args = propertyArgs(unit, id, scope, element);
    if (auto hit = ctx_.faults->check(Call::AudioUnitGetProperty, id, FaultTable::unitScope(scope))) {
        ctx_.trace->call("AudioUnitGetProperty", args, hit->status, "fault");
        return hit->status;
    }
    std::string valueText;
    OSStatus status;
    {
        std::lock_guard lock(mutex_);
        Unit* u = find(unit);
        if (!u) {
            status = kBadComponentInstance;
        } else if (!data || !ioSize) {
            status = audio::kInvalidParameterError;
        } else {
            status = readProperty(*u, id, scope, element, data, ioSize, &valueText);
        }
    }
    ctx_.trace->call("AudioUnitGetProperty", args, status, valueText);
    return status;
}

OSStatus UnitHost::readProperty(Unit& unit, AudioUnitPropertyID id, AudioUnitScope scope, AudioUnitElement element,
                                void* data, UInt32* ioSize, std::string* valueText) {
    OSStatus status =
        model::readUnitProperty(unit.config, ScenarioUnitDevices(ctx_.devices), id, scope, element, data, ioSize);
    if (status == 0) *valueText = unitValueText(id, data, *ioSize);
    return status;
}

}  // namespace tarnwick::sim
